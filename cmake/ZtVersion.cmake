# Reads ZTTOOLS_VERSION_MAJOR, _MINOR, _PATCH and ZTTOOLS_VERSION from
# zttools.h into ZT_HEADER_VERSION, and stops when the string does not say
# the same as the numbers.
set(zt_header ${CMAKE_CURRENT_LIST_DIR}/../src/lib/zttools/zttools.h)
set(zt_numbers "")
foreach(part MAJOR MINOR PATCH)
  file(STRINGS ${zt_header} zt_line REGEX "^#define ZTTOOLS_VERSION_${part} +[0-9]+$")
  string(REGEX REPLACE ".* ([0-9]+)$" "\\1" zt_number "${zt_line}")
  list(APPEND zt_numbers "${zt_number}")
endforeach()
list(JOIN zt_numbers "." ZT_HEADER_VERSION)
file(STRINGS ${zt_header} zt_line REGEX "^#define ZTTOOLS_VERSION \"")
if(NOT zt_line STREQUAL "#define ZTTOOLS_VERSION \"${ZT_HEADER_VERSION}\"")
  message(FATAL_ERROR "zttools.h: ZTTOOLS_VERSION does not say ${ZT_HEADER_VERSION}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${zt_header})
