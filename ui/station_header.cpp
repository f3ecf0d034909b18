#include "ui/station_header.h"

#include <array>
#include <filesystem>
#include <memory>

#include "engine/firmware_file.h"
#include "engine/firmware_name.h"
#include "engine/module_type.h"
#include "engine/sha256.h"
#include "engine/text_encoding.h"
#include "records/report_file.h"
#include "ui/main_dialog.h"

namespace zevuvuri::ui {
namespace {

// "61 440": the digits in groups of three, as the operator reads a size.
std::wstring Grouped(std::uint64_t value) {
  std::wstring digits = std::to_wstring(value);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, 1, L' ');
  return digits;
}

std::wstring ProductOf(unsigned code) {
  for (const ProductRow& row : kProductRows) {
    if (row.type_code == std::to_wstring(code)) return std::wstring(row.text);
  }
  return {};
}

}  // namespace

std::wstring HeaderLine(const HeaderFacts& facts) {
  std::wstring line = L"Firmware " + FromUtf8(facts.firmware);
  if (!facts.size) {
    line += L" (cannot be read)";
  } else {
    line += L", " + Grouped(*facts.size) + (*facts.size == 1 ? L" byte" : L" bytes");
    if (facts.sha256) line += L", SHA-256 " + FromUtf8(facts.sha256->substr(0, kHeaderHashDigits));
    if (facts.approved) {
      line += facts.sha256 && *facts.sha256 == *facts.approved ? L" (approved)" : L" (not the approved image)";
    }
  }
  const unsigned code = ModuleTypeCode(FromUtf8(facts.type_text));
  line += L" | Type " + std::to_wstring(code);
  if (const std::wstring product = ProductOf(code); !product.empty()) line += L" " + product;
  line += L" | Station " + FromUtf8(facts.station);
  line += L" | Pacing " + FromUtf8(PacingName(facts.pacing));
  return line;
}

HeaderFacts HeaderFactsOf(const station::StationSettings& settings) {
  HeaderFacts facts;
  const auto name = FirmwareName::FromBytes(settings.firmware);
  facts.firmware = name ? name->ForDisplay() : settings.firmware;
  const std::u8string base = std::filesystem::path(std::u8string(facts.firmware.begin(), facts.firmware.end()))
                                 .filename()
                                 .u8string();
  if (!base.empty()) facts.firmware.assign(base.begin(), base.end());
  if (name) {
    if (const std::unique_ptr<FirmwareFile> file = FirmwareFile::Open(*name)) {
      Sha256 hash;
      std::array<std::uint8_t, 64 * 1024> buffer;
      std::uint64_t read_bytes = 0;
      for (;;) {
        const auto got = file->Read(buffer);
        if (!got) break;
        if (*got == 0) {
          facts.size = read_bytes;
          facts.sha256 = hash.HexDigest();
          break;
        }
        hash.Update(std::span<const std::uint8_t>(buffer.data(), *got));
        read_bytes += *got;
      }
    }
  }
  facts.approved = settings.firmware_sha256;
  facts.type_text = settings.type_text;
  facts.station = settings.station_name.empty() ? records::HostName() : settings.station_name;
  facts.pacing = settings.pacing;
  return facts;
}

}  // namespace zevuvuri::ui
