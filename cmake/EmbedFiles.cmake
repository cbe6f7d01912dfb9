# qy_embed_files(OUTPUT <header> NAMESPACE <ns> ORIGIN <folder for the comment> FILES <file>...)
# generates <header> at build time with every file as `ns::kAssets[i]` ({"/name", bytes}), so
# a program's web page needs nothing beside the binary at run time.
set(QY_EMBED_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/embed_files.cmake)

function(qy_embed_files)
  cmake_parse_arguments(ARG "" "OUTPUT;NAMESPACE;ORIGIN" "FILES" ${ARGN})
  # The list travels to the script with "|" between the files (";" would split the argument).
  string(REPLACE ";" "|" files "${ARG_FILES}")
  add_custom_command(
    OUTPUT ${ARG_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${ARG_OUTPUT} -DNAMESPACE=${ARG_NAMESPACE}
            -DORIGIN=${ARG_ORIGIN} "-DFILES=${files}" -P ${QY_EMBED_SCRIPT}
    DEPENDS ${ARG_FILES} ${QY_EMBED_SCRIPT}
    COMMENT "Embedding ${ARG_ORIGIN}/"
    VERBATIM)
endfunction()
