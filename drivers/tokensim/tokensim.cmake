# The token simulator kernel driver (Windows builds only): tokensim.c on the
# token model's driver core.  Whoever ships it (the NT 4.0 setup media, the
# NT 4.0 driver package) builds it under its own file name with its own
# version resource:
#
#   quva_tokensim_driver(TARGET t OUTPUT_NAME usbqvtkn RC file.rc [OUTPUT_DIRECTORY dir])
#
# makes <dir or bin>/<OUTPUT_NAME>.sys, a native image that imports ntoskrnl.exe only.
set(QUVA_TOKENSIM_DIR ${CMAKE_CURRENT_LIST_DIR})

function(quva_tokensim_driver)
  cmake_parse_arguments(ARG "" "TARGET;OUTPUT_NAME;RC;OUTPUT_DIRECTORY" "" ${ARGN})
  if(NOT TARGET tokensim_core)
    # The freestanding token model built for the kernel: no exceptions, no
    # RTTI, no C++ runtime at all.
    file(GLOB model_sources ${PROJECT_SOURCE_DIR}/tokenmodel/src/*.cpp)
    add_library(tokensim_core STATIC ${model_sources} ${QUVA_TOKENSIM_DIR}/core.cpp)
    target_include_directories(tokensim_core PUBLIC ${PROJECT_SOURCE_DIR}/tokenmodel/include)
    target_compile_options(tokensim_core PRIVATE -fno-exceptions -fno-rtti -fno-threadsafe-statics
                           -fno-stack-protector -mno-stack-arg-probe)
    set_target_properties(tokensim_core PROPERTIES ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib/tokensim)
  endif()
  add_library(${ARG_TARGET} SHARED ${QUVA_TOKENSIM_DIR}/tokensim.c ${ARG_RC})
  set_target_properties(${ARG_TARGET} PROPERTIES PREFIX "" OUTPUT_NAME ${ARG_OUTPUT_NAME} SUFFIX ".sys"
                        ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${ARG_TARGET})
  if(ARG_OUTPUT_DIRECTORY)
    set_target_properties(${ARG_TARGET} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIRECTORY}
                          LIBRARY_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIRECTORY})
  endif()
  target_compile_options(${ARG_TARGET} PRIVATE -fno-stack-protector -mno-stack-arg-probe)
  quva_link_kernel_driver(${ARG_TARGET} tokensim_core)
endfunction()
