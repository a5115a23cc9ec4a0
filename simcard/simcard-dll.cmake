# The simulated card as TECORA32.dll: the seven library functions exported by ordinal only,
# with no names, linked statically so that it needs nothing beside the system libraries.
if(NOT SIMCARD_SOURCES)
  return()
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(TECORA32_EXPORTS_DEF ${CMAKE_SOURCE_DIR}/platform/win32/tecora32-i686.def)
else()
  set(TECORA32_EXPORTS_DEF ${CMAKE_SOURCE_DIR}/platform/win32/tecora32-x86_64.def)
endif()
enable_language(RC)
add_library(tecora32 SHARED ${SIMCARD_SOURCES} ${TECORA32_EXPORTS_DEF}
                            ${CMAKE_CURRENT_LIST_DIR}/tecora32-version.rc)
set_target_properties(tecora32 PROPERTIES OUTPUT_NAME TECORA32 PREFIX "" SUFFIX ".dll"
                                          IMPORT_PREFIX "lib" IMPORT_SUFFIX "-sim.dll.a")
target_include_directories(tecora32 PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(tecora32 PRIVATE chronel_platform)
target_link_options(tecora32 PRIVATE -static -static-libgcc -static-libstdc++ $<$<CONFIG:Release>:-s>)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The 32-bit functions are stdcall; their export entries must not carry the decoration.
  target_link_options(tecora32 PRIVATE -Wl,--kill-at)
endif()
