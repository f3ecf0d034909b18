// The station view's header line: what every slot flashes and where, so that
// the operator can check it against the work order at a glance. Toolkit-free;
// both station views show it above the rows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/pacing.h"
#include "station/station_model.h"

namespace zevuvuri::ui {

// What the header says, gathered once when the view opens.
struct HeaderFacts {
  std::string firmware;                  // the file's name without its folder (UTF-8)
  std::optional<std::uint64_t> size;     // bytes; nothing when the file cannot be read
  std::optional<std::string> sha256;     // 64 lowercase hex digits of the file as it is now
  std::optional<std::string> approved;   // FirmwareSha256=: the only image the station flashes
  std::string type_text = "0";           // Type= as given
  std::string station;                   // the name its records carry
  Pacing pacing = Pacing::Classic;
};

// Digits of the SHA-256 the header shows: enough to tell two builds apart.
constexpr std::size_t kHeaderHashDigits = 8;

// "Firmware qm-d.bin, 61 440 bytes, SHA-256 3f9a1c2e (approved) | Type 24
// QM-D EVB | Station line-3 | Pacing fast". The type is the code the module
// is sent, with its product's name when it has one. A pinned image that the
// file is not is said, never called approved; a file that cannot be read
// says so instead of its size.
std::wstring HeaderLine(const HeaderFacts& facts);

// The facts of a station's settings: reads the firmware file once (the
// window thread: a regular file only, never a pipe or a device) and names
// the station by the host when the settings leave its name empty.
HeaderFacts HeaderFactsOf(const station::StationSettings& settings);

}  // namespace zevuvuri::ui
