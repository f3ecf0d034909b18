# Writes OUTPUT, a C++ source holding each of FILES (a ;-separated list) as a
# byte array, and FindPageFile() over them. Run at build time:
#   cmake -DOUTPUT=page_files.cpp -DFILES="a.html;b.css" -P embed_page.cmake
set(arrays "")
set(entries "")
set(n 0)
foreach(file IN LISTS FILES)
  get_filename_component(name ${file} NAME)
  get_filename_component(ext ${file} LAST_EXT)
  if(ext STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(ext STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(ext STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  else()
    message(FATAL_ERROR "no content type known for ${name}")
  endif()
  file(READ ${file} hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const unsigned char kFile${n}[] = {${bytes}0};\n")
  string(APPEND entries "    {\"/${name}\", \"${type}\", std::string_view(reinterpret_cast<const char*>(kFile${n}), ${size})},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE ${OUTPUT}.new "// Made by tools/line/embed_page.cmake from tools/line/page/: edit those.
#include \"tools/line/page_files.h\"

namespace zevuvuri::line {
namespace {
${arrays}
const PageFile kFiles[] = {
${entries}};
}  // namespace

const PageFile* FindPageFile(std::string_view path) {
  if (path == \"/\") path = \"/index.html\";
  for (const auto& f : kFiles) {
    if (f.path == path) return &f;
  }
  return nullptr;
}

}  // namespace zevuvuri::line
")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
