# Writes a C++ header holding each of FILES as a byte array with its path ("/name"), for pages
# compiled into a binary. Run by qy_embed_files() (EmbedFiles.cmake) as
#   cmake -DOUTPUT=header -DNAMESPACE=ns -DORIGIN=folder -DFILES="a|b" -P embed_files.cmake
# The header is rewritten only when its text changes, so an untouched page rebuilds nothing.
string(REPLACE "|" ";" FILES "${FILES}")
set(text "// Generated from ${ORIGIN}/ by cmake/embed_files.cmake; do not edit.\n#pragma once\n\n")
string(APPEND text "#include <string_view>\n\nnamespace ${NAMESPACE} {\n\n")
string(APPEND text "struct Asset {\n  std::string_view path;\n  std::string_view body;\n};\n\n")
set(entries "")
set(index 0)
foreach(file IN LISTS FILES)
  get_filename_component(name ${file} NAME)
  file(READ ${file} hex HEX)
  string(LENGTH "${hex}" length)
  math(EXPR size "${length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(APPEND text "inline constexpr char kData${index}[] = {${bytes}'\\0'};\n")
  string(APPEND entries "    {\"/${name}\", std::string_view(kData${index}, ${size})},\n")
  math(EXPR index "${index} + 1")
endforeach()
string(APPEND text "\ninline constexpr Asset kAssets[] = {\n${entries}};\n\n}  // namespace ${NAMESPACE}\n")
file(WRITE ${OUTPUT}.tmp "${text}")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
