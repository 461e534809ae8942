# Settings shared by the shared libraries of this project: C++ without
# exceptions or RTTI, hidden symbols unless a header exports them, and
# no run-time library but libc (libgcc.a supplies the compiler helpers).
function(zt_shared_library target)
  target_compile_options(${target} PRIVATE -fvisibility=hidden -fvisibility-inlines-hidden
                         $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics>)
  target_link_options(${target} PRIVATE -nodefaultlibs)
  target_link_libraries(${target} PRIVATE c gcc)
  # Debug information describes the interface's types to the ABI check
  # (abidiff), in every build type.
  target_compile_options(${target} PRIVATE -g)
  if(NOT ZT_SANITIZE)
    target_link_options(${target} PRIVATE -Wl,-z,defs)
  endif()
  if(ZT_COVERAGE)
    target_compile_options(${target} PRIVATE --coverage)
    target_link_libraries(${target} PRIVATE gcov)
  endif()
endfunction()
