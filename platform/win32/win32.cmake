# Win32 platform: the system libraries, and the import library that binds the card library's
# functions to TECORA32.DLL by ordinal.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(TECORA32_DEF ${CMAKE_CURRENT_LIST_DIR}/tecora32-i686.def)
else()
  set(TECORA32_DEF ${CMAKE_CURRENT_LIST_DIR}/tecora32-x86_64.def)
endif()
set(TECORA32_IMPLIB ${CMAKE_CURRENT_BINARY_DIR}/libtecora32.a)

if(NOT CMAKE_DLLTOOL)
  message(FATAL_ERROR "The Windows build needs dlltool (CMAKE_DLLTOOL) for the card library")
endif()
# -k: the decorated stdcall names of the definitions match what the compiler calls, while the
# import entries carry ordinals only.
add_custom_command(
  OUTPUT ${TECORA32_IMPLIB}
  COMMAND ${CMAKE_DLLTOOL} -d ${TECORA32_DEF} -l ${TECORA32_IMPLIB} -k
  DEPENDS ${TECORA32_DEF}
  COMMENT "Import library for TECORA32.DLL (by ordinal)"
  VERBATIM)
add_custom_target(tecora32_implib DEPENDS ${TECORA32_IMPLIB})

add_library(tecora32_import INTERFACE)
target_link_libraries(tecora32_import INTERFACE ${TECORA32_IMPLIB})
add_dependencies(tecora32_import tecora32_implib)

target_link_libraries(chronel_platform PUBLIC tecora32_import advapi32 user32 version wtsapi32 shell32 kernel32)

# The desktop seam, for the tray monitor only: the service links none of the shell.
add_library(chronel_platform_ui STATIC ${CMAKE_CURRENT_LIST_DIR}/ui/Win32Ui.cpp)
target_link_libraries(chronel_platform_ui PUBLIC chronel_platform gdi32 shell32 comdlg32)
