# quva_link_kernel_driver(TARGET [LIBRARIES...]): links a shared-library target as a Windows
# kernel driver: native subsystem, DriverEntry as the entry point (decorated
# on i686), no C runtime, ntoskrnl.exe as the only import; LIBRARIES
# (static, freestanding) come before it on the link line.
function(quva_link_kernel_driver target)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(entry_symbol _DriverEntry@8)
  else()
    set(entry_symbol DriverEntry)
  endif()
  target_link_options(${target} PRIVATE -nostartfiles -nostdlib -Wl,--subsystem,native
                      -Wl,--entry,${entry_symbol} -Wl,--exclude-all-symbols)
  target_link_libraries(${target} PRIVATE ${ARGN} ntoskrnl)
endfunction()
