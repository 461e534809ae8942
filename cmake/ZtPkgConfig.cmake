# zt_write_pc(NAME OUT-DIR PREFIX LIBDIR INCLUDEDIR SUFFIX SVC-LIBDIR): writes
# OUT-DIR/NAME${SUFFIX}.pc from cmake/NAME.pc.in. Directories under the
# prefix spell themselves with ${prefix}. Outside /usr, zttools.pc adds
# -rpath-link to SVC-LIBDIR, where libztsvc lies, so that a program that
# links libzttools alone lets the linker find the libztsvc it needs.
set(ZT_PC_TEMPLATES ${CMAKE_CURRENT_LIST_DIR})
function(zt_write_pc name out prefix libdir includedir suffix svc_libdir)
  set(ZT_PC_PREFIX ${prefix})
  string(REPLACE "${prefix}/" "\${prefix}/" ZT_PC_LIBDIR "${libdir}")
  string(REPLACE "${prefix}/" "\${prefix}/" ZT_PC_INCLUDEDIR "${includedir}")
  string(REPLACE "${prefix}/" "\${prefix}/" svc_libdir "${svc_libdir}")
  set(ZT_PC_RPATH_LINK "")
  if(NOT prefix STREQUAL "/usr")
    set(ZT_PC_RPATH_LINK " -Wl,-rpath-link,${svc_libdir}")
  endif()
  configure_file(${ZT_PC_TEMPLATES}/${name}.pc.in ${out}/${name}${suffix}.pc @ONLY)
endfunction()
