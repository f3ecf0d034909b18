// The approved image: the SHA-256 a line pins its firmware to, as both front
// ends take it (--firmware-sha256, FirmwareSha256= in loader.cfg).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zevuvuri::records {

// The text as 64 lowercase hex digits; nothing when it is anything else
// (another length, a space, a sign), so a mistyped pin stops the station
// instead of pinning nothing.
std::optional<std::string> ApprovedSha256(std::string_view text);

// What the operator reads when the image taken is not the approved one.
std::string ImageNotApprovedText(const std::string& taken_sha256, const std::string& approved_sha256);

}  // namespace zevuvuri::records
