# The checks beyond the native suite, registered with it so that one CTest run reports them
# all: the suites under the sanitizers, a bounded run of each fuzz target, static analysis,
# and the seven-day soak. A check whose build is absent is skipped, not failed.
set(CHECK ${CMAKE_SOURCE_DIR}/tools/check.sh)
foreach(preset asan tsan)
  add_test(NAME check.${preset} COMMAND ${CHECK} sanitizer ${preset})
  set_tests_properties(check.${preset} PROPERTIES LABELS check SKIP_RETURN_CODE 77 TIMEOUT 900)
endforeach()
foreach(target record_fuzz settings_fuzz)
  add_test(NAME check.fuzz.${target} COMMAND ${CHECK} fuzz ${target})
  set_tests_properties(check.fuzz.${target} PROPERTIES LABELS check SKIP_RETURN_CODE 77
                       TIMEOUT 300)
endforeach()
add_test(NAME check.static-analysis COMMAND ${CMAKE_SOURCE_DIR}/tools/static-analysis.sh)
set_tests_properties(check.static-analysis PROPERTIES LABELS check TIMEOUT 1200)

if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/soak/soak_test.cpp)
  add_executable(chronel_soak ${CMAKE_CURRENT_SOURCE_DIR}/soak/soak_test.cpp)
  target_include_directories(chronel_soak PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(chronel_soak PRIVATE chronel_core GTest::gtest GTest::gtest_main)
  add_test(NAME soak.SevenDays COMMAND chronel_soak)
  set_tests_properties(soak.SevenDays PROPERTIES LABELS soak TIMEOUT 900)
endif()
