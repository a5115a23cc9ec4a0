# Builds a Chronel package from Chronel.wxs with wixl; the build and the tests both use it.
#   cmake [-D ARCH=x86|x64] -D VERSION=1.0.0.1 -D OUTPUT=/x/Chronel-1.0.0.1.msi
#         "-D FILES=ServiceExe=/x/chronel.exe;SimCardDll=/x/TECORA32.dll[;CtlExe=/x/chronelctl.exe]"
#         -P installer/wixl.cmake
# Fails on anything wixl prints: it reports an element it cannot express (and leaves its row
# out of the package) on standard error, yet exits with 0.
set(source ${CMAKE_CURRENT_LIST_DIR}/Chronel.wxs)
if(NOT WIXL)
  find_program(WIXL wixl REQUIRED)
endif()
if(NOT ARCH)
  set(ARCH x86)
endif()
if(NOT ARCH MATCHES "^(x86|x64)$")
  message(FATAL_ERROR "ARCH must be x86 or x64, not '${ARCH}'")
endif()
if(NOT VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)")
  message(FATAL_ERROR "VERSION must be major.minor.build[.revision], not '${VERSION}'")
endif()

# The installer compares only the first three version fields when it looks for the installed
# product, so the upgrade search reaches up to the next build number: a package that differs
# from the installed one in the fourth field alone still replaces it.
math(EXPR next_build "${CMAKE_MATCH_3} + 1")
set(upgrade_below "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${next_build}")

# One product code per version, the same on every rebuild of it: a rebuilt package is the same
# product, a new version another one, which replaces it.
file(STRINGS ${source} upgrade_line REGEX "define UpgradeCode")
string(REGEX MATCH "[0-9A-Fa-f]+-[0-9A-Fa-f-]+" upgrade_code "${upgrade_line}")
# The x64 package is another product of the same version; the x86 one keeps the code it has
# always had.
set(product_name "Chronel ${VERSION}")
if(ARCH STREQUAL "x64")
  set(product_name "Chronel ${VERSION} x64")
endif()
string(UUID product_code NAMESPACE ${upgrade_code} NAME "${product_name}" TYPE SHA1 UPPER)

# wixl 0.101 finds files only by paths relative to where it runs.
get_filename_component(workdir ${OUTPUT} DIRECTORY)
set(defines -D Arch=${ARCH} -D Version=${VERSION} -D ProductCode=${product_code} -D UpgradeBelow=${upgrade_below})
foreach(file IN LISTS FILES)
  if(NOT file MATCHES "^([A-Za-z]+)=(.+)$")
    message(FATAL_ERROR "FILES entries are Name=path, not '${file}'")
  endif()
  file(RELATIVE_PATH relative ${workdir} ${CMAKE_MATCH_2})
  list(APPEND defines -D "${CMAKE_MATCH_1}=${relative}")
endforeach()

execute_process(
  COMMAND ${WIXL} -a ${ARCH} ${defines} -o ${OUTPUT} ${source}
  WORKING_DIRECTORY ${workdir}
  RESULT_VARIABLE result
  ERROR_VARIABLE errors)
if(NOT result EQUAL 0 OR NOT errors STREQUAL "")
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "wixl failed (${result}):\n${errors}")
endif()
