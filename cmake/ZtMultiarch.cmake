# Libraries install into the target's multiarch directory (lib/i386-linux-gnu
# for -m32, lib/x86_64-linux-gnu) whatever the prefix, as the system's own
# do: the dynamic loader and pkg-config of either ABI look there, also under
# /usr/local. The compiler names the directory for the flags in use.
if(NOT DEFINED CMAKE_INSTALL_LIBDIR AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  separate_arguments(zt_flags UNIX_COMMAND "${CMAKE_C_FLAGS}")
  execute_process(COMMAND ${CMAKE_C_COMPILER} ${zt_flags} -print-multiarch
                  OUTPUT_VARIABLE zt_multiarch OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET RESULT_VARIABLE zt_status)
  if(zt_status EQUAL 0 AND zt_multiarch MATCHES "^[a-z0-9_]+-[a-z0-9_-]+$")
    set(CMAKE_INSTALL_LIBDIR lib/${zt_multiarch} CACHE PATH "Object code libraries (lib)")
  endif()
endif()
