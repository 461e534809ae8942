# What `cmake --install` adds to the libraries and headers: pkg-config files,
# the CMake package zttools (zttools::zttools, zttools::ztsvc) and the manual
# pages. The build tree has the same names: pkg-config's -uninstalled files
# in build/pkgconfig, and the alias targets for add_subdirectory.
include(CMakePackageConfigHelpers)
include(${CMAKE_CURRENT_LIST_DIR}/ZtPkgConfig.cmake)

add_library(zttools::zttools ALIAS zttools)
add_library(zttools::ztsvc ALIAS ztsvc)

# pkg-config, build tree: PKG_CONFIG_PATH=build/PRESET/pkgconfig.
get_target_property(zt_svc_binary ztsvc BINARY_DIR)
foreach(zt_lib zttools ztsvc)
  get_target_property(zt_source ${zt_lib} SOURCE_DIR)
  get_target_property(zt_binary ${zt_lib} BINARY_DIR)
  zt_write_pc(${zt_lib} ${PROJECT_BINARY_DIR}/pkgconfig ${PROJECT_BINARY_DIR} ${zt_binary}
              ${zt_source} -uninstalled ${zt_svc_binary})
endforeach()

# pkg-config, installed: written when installing, for the prefix chosen then,
# so that under /usr the directories are the plain system ones that
# pkg-config leaves out.
set(zt_pc_staging ${PROJECT_BINARY_DIR}/pkgconfig-install)
install(CODE "
  include(${CMAKE_CURRENT_LIST_DIR}/ZtPkgConfig.cmake)
  set(PROJECT_VERSION ${PROJECT_VERSION})
  set(PROJECT_DESCRIPTION \"${PROJECT_DESCRIPTION}\")
  foreach(zt_lib zttools ztsvc)
    zt_write_pc(\${zt_lib} ${zt_pc_staging} \${CMAKE_INSTALL_PREFIX}
                \${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}
                \${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_INCLUDEDIR} \"\"
                \${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
  endforeach()")
install(FILES ${zt_pc_staging}/zttools.pc ${zt_pc_staging}/ztsvc.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# CMake package: find_package(zttools) gives zttools::zttools and
# zttools::ztsvc; any 1.x satisfies a request for 1.y with y <= x.
set(zt_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/zttools)
install(EXPORT zttoolsTargets NAMESPACE zttools:: DESTINATION ${zt_cmake_dir})
file(WRITE ${PROJECT_BINARY_DIR}/zttoolsConfig.cmake
     "include(\"\${CMAKE_CURRENT_LIST_DIR}/zttoolsTargets.cmake\")\n")
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zttoolsConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zttoolsConfig.cmake
        ${PROJECT_BINARY_DIR}/zttoolsConfigVersion.cmake DESTINATION ${zt_cmake_dir})

# Manual pages (those of the tools only with the tools), and one link page
# for each name that a section-3 page documents, so that `man restart_accept`
# shows zttools_restart(3).
if(PROJECT_IS_TOP_LEVEL)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/man/ DESTINATION ${CMAKE_INSTALL_MANDIR}
          FILES_MATCHING PATTERN "*.[1-9]")
  set(zt_links ${PROJECT_BINARY_DIR}/man-links)
  file(REMOVE_RECURSE ${zt_links})
  file(GLOB zt_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/man3/*.3)
  foreach(zt_page ${zt_pages})
    get_filename_component(zt_page_name ${zt_page} NAME)
    file(STRINGS ${zt_page} zt_names REGEX "^\\.Nm [A-Za-z0-9_]+( ,)?$")
    foreach(zt_name ${zt_names})
      string(REGEX REPLACE "^\\.Nm ([A-Za-z0-9_]+).*" "\\1" zt_name "${zt_name}")
      file(WRITE ${zt_links}/${zt_name}.3 ".so man3/${zt_page_name}\n")
    endforeach()
  endforeach()
  install(DIRECTORY ${zt_links}/ DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
endif()
