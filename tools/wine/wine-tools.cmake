# Small Windows programs that the Wine tests run beside chronel.exe: a service query tool and
# a probe of the card library bound by ordinal. Not shipped.
add_executable(svcquery ${CMAKE_SOURCE_DIR}/platform/win32/tools/svcquery.cpp)
target_link_libraries(svcquery PRIVATE advapi32)
target_link_options(svcquery PRIVATE -static -static-libgcc -static-libstdc++)
set_target_properties(svcquery PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/wine)

add_executable(cardprobe ${CMAKE_SOURCE_DIR}/tests/wine/cardprobe.cpp)
target_include_directories(cardprobe PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(cardprobe PRIVATE chronel_platform)
target_link_options(cardprobe PRIVATE -static -static-libgcc -static-libstdc++)
set_target_properties(cardprobe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/wine)

add_executable(platprobe ${CMAKE_SOURCE_DIR}/tests/wine/platprobe.cpp)
target_include_directories(platprobe PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(platprobe PRIVATE chronel_platform)
target_link_options(platprobe PRIVATE -static -static-libgcc -static-libstdc++)
set_target_properties(platprobe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/wine)

add_executable(monprobe ${CMAKE_SOURCE_DIR}/tests/wine/monprobe.cpp)
target_include_directories(monprobe PRIVATE ${CMAKE_SOURCE_DIR})
target_link_options(monprobe PRIVATE -static -static-libgcc -static-libstdc++)
set_target_properties(monprobe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/wine)
