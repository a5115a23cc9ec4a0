# The Windows build under Wine, registered with the native tests (label "wine"). They use the
# files that 'make windows' leaves in dist/ and build/win32/wine/, and are skipped with a note
# when those are not there.
set(CHRONEL_DIST_ROOT ${CMAKE_SOURCE_DIR}/dist CACHE PATH "Where 'make windows' puts the Windows files")
set(CHRONEL_WIN32_TOOLS ${CMAKE_SOURCE_DIR}/build/win32/wine
    CACHE PATH "Where the win32 build puts svcquery.exe, cardprobe.exe and platprobe.exe")
set(WINE_TEST_DIR ${CMAKE_CURRENT_LIST_DIR})

add_test(NAME wine.pe_tables
         COMMAND bash ${WINE_TEST_DIR}/pe_check.sh ${CHRONEL_DIST_ROOT} ${PROJECT_VERSION})
add_test(NAME wine.probes
         COMMAND bash ${WINE_TEST_DIR}/probes.sh ${CHRONEL_DIST_ROOT}/win32
                 ${CHRONEL_WIN32_TOOLS})
add_test(NAME wine.service
         COMMAND bash ${WINE_TEST_DIR}/service_e2e.sh ${CHRONEL_DIST_ROOT}/win32
                 ${CHRONEL_WIN32_TOOLS} ${PROJECT_VERSION})
add_test(NAME wine.msi
         COMMAND bash ${WINE_TEST_DIR}/msi_e2e.sh ${CHRONEL_DIST_ROOT}/win32 ${CHRONEL_WIN32_TOOLS}
                 ${PROJECT_VERSION} ${CMAKE_SOURCE_DIR}/installer)
set_tests_properties(wine.pe_tables wine.probes wine.service wine.msi PROPERTIES
  LABELS wine
  SKIP_RETURN_CODE 77
  TIMEOUT 300)
# Each of these boots a Wine prefix of its own; two at once only slow each other down.
set_tests_properties(wine.probes wine.service wine.msi PROPERTIES RESOURCE_LOCK wine_prefix)
