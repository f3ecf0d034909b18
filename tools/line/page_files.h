// The page's own files (HTML, style sheet, script), built into the program
// from tools/line/page/ so that it needs no data folder and the line no
// internet.
#pragma once

#include <string_view>

namespace zevuvuri::line {

struct PageFile {
  std::string_view path;          // as requested, e.g. "/line.js"
  std::string_view content_type;  // with its charset
  std::string_view body;
};

// The file served at `path` ("/" is index.html), or nullptr.
const PageFile* FindPageFile(std::string_view path);

}  // namespace zevuvuri::line
