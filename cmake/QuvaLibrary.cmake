# quva_add_dll(NAME SOURCES...): one of the kit's shared libraries.
#
# Windows: NAME.dll with the exports of NAME.def (undecorated) and the
# resources of NAME.rc.  Linux: NAME.so against the simulated platform; a
# version script made from NAME.def exports exactly the same names, and the
# simulated C runtime start-up calls DllMain as Windows would.
function(quva_add_dll name)
  set(def ${CMAKE_CURRENT_SOURCE_DIR}/${name}.def)
  set(rc ${CMAKE_CURRENT_SOURCE_DIR}/${name}.rc)
  add_library(${name} SHARED ${ARGN})
  set_target_properties(${name} PROPERTIES PREFIX "" OUTPUT_NAME ${name})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE quva_common)
  if(WIN32)
    target_sources(${name} PRIVATE ${def} ${rc})
    target_link_options(${name} PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--enable-stdcall-fixup)
    set_target_properties(${name} PROPERTIES SUFFIX ".dll" IMPORT_PREFIX "lib" IMPORT_SUFFIX ".dll.a")
    target_link_libraries(${name} PRIVATE version)
  else()
    set(vs ${CMAKE_CURRENT_BINARY_DIR}/${name}.map)
    add_custom_command(OUTPUT ${vs}
      COMMAND ${CMAKE_COMMAND} -DDEF=${def} -DOUT=${vs} -P ${PROJECT_SOURCE_DIR}/cmake/def2map.cmake
      DEPENDS ${def} ${PROJECT_SOURCE_DIR}/cmake/def2map.cmake)
    add_custom_target(${name}_map DEPENDS ${vs})
    add_dependencies(${name} ${name}_map)
    target_sources(${name} PRIVATE $<TARGET_OBJECTS:winsim_dllcrt>)
    target_link_libraries(${name} PRIVATE winsim)
    target_link_options(${name} PRIVATE -Wl,--version-script=${vs} -Wl,--no-undefined)
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${vs})
    # The simulator reads the library's resources (version, dialogs, strings)
    # from the same .rc text as windres does.
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${rc} $<TARGET_FILE_DIR:${name}>/${name}.rc)
  endif()
endfunction()
