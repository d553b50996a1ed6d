# Hardening of the Windows binaries: what the product ships runs inside
# privileged processes of an anti-virus product.
#
# tl_harden(target...) gives each target
# - stack protection (-fstack-protector-strong). The guard and its failure
#   handler come from GCC's libssp, which GCC's driver links whenever the flag
#   is on the link line and the clang toolchain file names itself; with the
#   static runtime that is libssp.a, so no libssp DLL enters an import table;
# - _FORTIFY_SOURCE=2: the mingw-w64 headers then route the bounded string and
#   memory calls through their checked forms (also in libssp; effective only
#   in optimised builds);
# - for programs and DLLs, the PE flags DYNAMIC_BASE, HIGH_ENTROPY_VA and
#   NX_COMPAT, asked for explicitly rather than trusted to the linker's
#   defaults.
# A static library passes the link flag on to whatever links it, so that the
# stack protection of its objects is always satisfied. The import-table test
# (tests/dll/check_imports.cmake) checks the result. Other platforms: nothing.
function(tl_harden)
  if(NOT WIN32)
    return()
  endif()
  foreach(target IN LISTS ARGN)
    if(NOT TARGET ${target})
      continue()
    endif()
    target_compile_options(${target} PRIVATE -fstack-protector-strong)
    target_compile_definitions(${target} PRIVATE _FORTIFY_SOURCE=2)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "STATIC_LIBRARY")
      target_link_options(${target} INTERFACE -fstack-protector-strong)
    else()
      target_link_options(${target} PRIVATE -fstack-protector-strong
        LINKER:--dynamicbase LINKER:--high-entropy-va LINKER:--nxcompat)
    endif()
  endforeach()
endfunction()
