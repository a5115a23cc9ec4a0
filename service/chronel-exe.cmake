# chronel.exe on Windows: a version resource carrying the project's version, the message table
# that Event Viewer reads the entries' texts from, everything linked statically, so that it
# imports only system libraries and the card library.
enable_language(RC)
string(REPLACE "." "," CHRONEL_VERSION_COMMAS "${PROJECT_VERSION}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/chronel-version.rc.in
               ${CMAKE_CURRENT_BINARY_DIR}/chronel-version.rc @ONLY)
target_sources(chronel PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/chronel-version.rc)

# The message compiler sits beside the resource compiler (i686-w64-mingw32-windmc, ...).
string(REGEX REPLACE "windres([^/]*)$" "windmc\\1" CHRONEL_MC_COMPILER "${CMAKE_RC_COMPILER}")
set(CHRONEL_MESSAGES_DIR ${CMAKE_CURRENT_BINARY_DIR}/messages)
add_custom_command(
  OUTPUT ${CHRONEL_MESSAGES_DIR}/chronel-messages.rc ${CHRONEL_MESSAGES_DIR}/MSG00409.bin
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CHRONEL_MESSAGES_DIR}
  COMMAND ${CHRONEL_MC_COMPILER} -h ${CHRONEL_MESSAGES_DIR} -r ${CHRONEL_MESSAGES_DIR}
          ${CMAKE_CURRENT_LIST_DIR}/chronel-messages.mc
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/chronel-messages.mc
  COMMENT "Message table of chronel.exe"
  VERBATIM)
target_sources(chronel PRIVATE ${CHRONEL_MESSAGES_DIR}/chronel-messages.rc)
# The generated script names its table file without a directory.
set_source_files_properties(${CHRONEL_MESSAGES_DIR}/chronel-messages.rc PROPERTIES
  OBJECT_DEPENDS ${CHRONEL_MESSAGES_DIR}/MSG00409.bin
  COMPILE_OPTIONS "-I${CHRONEL_MESSAGES_DIR}")

target_link_options(chronel PRIVATE -static -static-libgcc -static-libstdc++ $<$<CONFIG:Release>:-s>)
