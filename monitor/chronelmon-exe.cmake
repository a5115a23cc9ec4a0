# chronelmon.exe, the tray monitor: Windows only, a GUI program, statically linked like
# chronelctl.exe so that it needs nothing beside it but Windows' own libraries.
if(NOT WIN32)
  return()
endif()
enable_language(RC)
string(REPLACE "." "," CHRONEL_VERSION_COMMAS "${PROJECT_VERSION}")
set(CHRONELMON_MANIFEST ${CMAKE_CURRENT_LIST_DIR}/chronelmon.manifest)
configure_file(${CMAKE_CURRENT_LIST_DIR}/chronelmon.rc.in ${CMAKE_CURRENT_BINARY_DIR}/chronelmon.rc
               @ONLY)
add_executable(chronelmon ${CMAKE_CURRENT_LIST_DIR}/main.cpp ${CMAKE_CURRENT_LIST_DIR}/MonitorApp.cpp
                          ${CMAKE_CURRENT_BINARY_DIR}/chronelmon.rc)
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/chronelmon.rc PROPERTIES
                            OBJECT_DEPENDS ${CHRONELMON_MANIFEST})
target_link_libraries(chronelmon PRIVATE chronel_monitor_model chronel_platform_ui)
target_link_options(chronelmon PRIVATE -mwindows -static -static-libgcc -static-libstdc++
                    $<$<CONFIG:Release>:-s>)
