#include "records/approved_image.h"

namespace zevuvuri::records {

std::optional<std::string> ApprovedSha256(std::string_view text) {
  if (text.size() != 64) return std::nullopt;
  std::string hex;
  for (const char c : text) {
    if (c >= '0' && c <= '9') hex += c;
    else if (c >= 'a' && c <= 'f') hex += c;
    else if (c >= 'A' && c <= 'F') hex += static_cast<char>(c - 'A' + 'a');
    else return std::nullopt;
  }
  return hex;
}

std::string ImageNotApprovedText(const std::string& taken_sha256, const std::string& approved_sha256) {
  return "the firmware's SHA-256 is " + taken_sha256 + ", not the approved " + approved_sha256 +
         ": nothing was sent to the module";
}

}  // namespace zevuvuri::records
