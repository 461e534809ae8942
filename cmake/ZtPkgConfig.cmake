# zt_write_pc(NAME OUT-DIR PREFIX LIBDIR INCLUDEDIR SUFFIX): writes
# OUT-DIR/NAME${SUFFIX}.pc from cmake/NAME.pc.in. Directories equal to the
# prefix's own spell themselves with ${prefix}; a library directory outside
# the system's gets -rpath-link too, so that a program linking only
# libzttools finds the libztsvc it needs.
set(ZT_PC_TEMPLATES ${CMAKE_CURRENT_LIST_DIR})
function(zt_write_pc name out prefix libdir includedir suffix)
  set(ZT_PC_PREFIX ${prefix})
  set(ZT_PC_SUFFIX ${suffix})
  string(REPLACE "${prefix}/" "\${prefix}/" ZT_PC_LIBDIR "${libdir}")
  string(REPLACE "${prefix}/" "\${prefix}/" ZT_PC_INCLUDEDIR "${includedir}")
  set(ZT_PC_RPATH_LINK "")
  if(NOT prefix STREQUAL "/usr")
    set(ZT_PC_RPATH_LINK " -Wl,-rpath-link,\${libdir}")
  endif()
  configure_file(${ZT_PC_TEMPLATES}/${name}.pc.in ${out}/${name}${suffix}.pc @ONLY)
endfunction()
