# chronel.exe on Windows: a version resource carrying the project's version, everything
# linked statically, so that it imports only system libraries and the card library.
enable_language(RC)
string(REPLACE "." "," CHRONEL_VERSION_COMMAS "${PROJECT_VERSION}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/chronel-version.rc.in
               ${CMAKE_CURRENT_BINARY_DIR}/chronel-version.rc @ONLY)
target_sources(chronel PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/chronel-version.rc)
target_link_options(chronel PRIVATE -static -static-libgcc -static-libstdc++ $<$<CONFIG:Release>:-s>)
