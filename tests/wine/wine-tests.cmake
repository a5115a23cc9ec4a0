# The Windows build under Wine, registered with the native tests (label "wine"). They use the
# files that 'make windows' leaves in dist/ and build/win*/wine/, and are skipped with a note
# when those are not there. Each suite tests the build this host can run: wine.host finds out
# once per run (CHRONEL_WINE_BITS=64 forces the 64-bit build on any host).
set(CHRONEL_DIST_ROOT ${CMAKE_SOURCE_DIR}/dist CACHE PATH "Where 'make windows' puts the Windows files")
set(CHRONEL_WIN_BUILD_ROOT ${CMAKE_SOURCE_DIR}/build
    CACHE PATH "Where the win32 and win64 builds put svcquery.exe, cardprobe.exe and platprobe.exe")
set(WINE_TEST_DIR ${CMAKE_CURRENT_LIST_DIR})
set(WINE_HOST_FILE ${CMAKE_CURRENT_BINARY_DIR}/wine-host.txt)

add_test(NAME wine.host
         COMMAND bash ${CMAKE_SOURCE_DIR}/tools/wine/winehost.sh ${WINE_HOST_FILE})
set_tests_properties(wine.host PROPERTIES LABELS wine FIXTURES_SETUP wine_host TIMEOUT 30)

add_test(NAME wine.pe_tables
         COMMAND bash ${WINE_TEST_DIR}/pe_check.sh ${CHRONEL_DIST_ROOT} ${PROJECT_VERSION})
add_test(NAME wine.probes
         COMMAND bash ${WINE_TEST_DIR}/probes.sh ${CHRONEL_DIST_ROOT} ${CHRONEL_WIN_BUILD_ROOT})
add_test(NAME wine.service
         COMMAND bash ${WINE_TEST_DIR}/service_e2e.sh ${CHRONEL_DIST_ROOT} ${CHRONEL_WIN_BUILD_ROOT}
                 ${PROJECT_VERSION})
add_test(NAME wine.msi
         COMMAND bash ${WINE_TEST_DIR}/msi_e2e.sh ${CHRONEL_DIST_ROOT} ${CHRONEL_WIN_BUILD_ROOT}
                 ${PROJECT_VERSION} ${CMAKE_SOURCE_DIR}/installer)
add_test(NAME wine.monitor
         COMMAND bash ${WINE_TEST_DIR}/monitor_e2e.sh ${CHRONEL_DIST_ROOT} ${CHRONEL_WIN_BUILD_ROOT})
set_tests_properties(wine.pe_tables wine.probes wine.service wine.msi wine.monitor PROPERTIES
  LABELS wine
  SKIP_RETURN_CODE 77
  TIMEOUT 300)
set_tests_properties(wine.probes wine.service wine.msi wine.monitor PROPERTIES
  FIXTURES_REQUIRED wine_host
  ENVIRONMENT CHRONEL_WINE_HOST=${WINE_HOST_FILE})
# Each of these boots a Wine prefix of its own; two at once only slow each other down.
set_tests_properties(wine.probes wine.service wine.msi wine.monitor PROPERTIES RESOURCE_LOCK wine_prefix)
