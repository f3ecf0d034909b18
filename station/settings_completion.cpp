#include "station/settings_completion.h"

#include <filesystem>
#include <system_error>

#include "engine/module_type.h"
#include "engine/text_encoding.h"
#include "records/approved_image.h"
#include "records/report_file.h"
#include "records/state_folder.h"
#include "station/station_name.h"

namespace zevuvuri::station {

std::optional<unsigned> ModuleTypeNumber(const std::string& utf8_text) {
  const std::wstring text = FromUtf8(utf8_text);
  std::size_t i = 0;
  while (i < text.size() && IsTypeTextBlank(text[i])) ++i;
  unsigned value = 0;
  std::size_t digits = 0;
  for (; i < text.size(); ++i, ++digits) {
    const auto digit = TypeTextDigit(text[i]);
    if (!digit) break;
    value = value * 10 + static_cast<unsigned>(*digit);
    if (value > 255) return std::nullopt;
  }
  while (i < text.size() && IsTypeTextBlank(text[i])) ++i;
  if (digits == 0 || i != text.size()) return std::nullopt;
  return value;
}

namespace {

// Why the firmware file cannot be read at all, or nothing: a station that
// would fail every unit with "couldn't open file" says so once, at open.
std::optional<std::string> FirmwareMissing(const std::string& firmware) {
  std::error_code ec;
  const auto path = std::filesystem::u8path(firmware);
  const auto status = std::filesystem::status(path, ec);
  if (firmware.empty()) return "names no file";
  if (!std::filesystem::exists(status)) return firmware + ": no such file";
  if (std::filesystem::is_directory(status)) return firmware + " is a folder, not a file";
  return std::nullopt;
}

}  // namespace

std::optional<std::string> CompleteSettings(StationSettings& s, const Completion& how) {
  const SettingNames& n = how.names;
  const auto refused = [&](std::string text) { return std::optional<std::string>(text + n.refusal_end); };
  if (how.default_journal && s.records_db && !s.report) {
    const std::string journal = records::DefaultJournalPath();
    if (journal.empty()) {
      return refused(n.records_db + ": no state folder is known for the journal: " + n.give_report);
    }
    s.report = journal;
  }
  if (s.firmware_sha256) {
    s.firmware_sha256 = records::ApprovedSha256(*s.firmware_sha256);
    if (!s.firmware_sha256) return refused(n.pin_not_sha256);
  }
  if (s.station_name.empty()) s.station_name = records::HostName();
  if (const auto problem = StationNameProblem(s.station_name)) return refused(n.station_name + ": " + *problem);
  if (how.firmware_must_exist) {
    if (const auto missing = FirmwareMissing(s.firmware)) return refused(n.firmware + ": " + *missing);
  }
  if (how.type_must_be_code && !ModuleTypeNumber(s.type_text)) {
    return refused(n.type + " is \"" + s.type_text + "\": give a module type from 0 to 255");
  }
  return std::nullopt;
}

}  // namespace zevuvuri::station
