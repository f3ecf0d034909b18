// loader.cfg, read the way the Windows build's profile reader reads it, so
// that one file serves both builds: section and key names matched without
// regard to case, blanks around names and values dropped, a value in
// matching quotes taken without them, the first matching section and key
// winning, lines beginning with ";" ignored, values cut to 127 bytes (the
// loader's own keys excepted), and a
// file with a UTF-16 byte-order mark read as UTF-16.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/firmware_name.h"

namespace zevuvuri::ui {

constexpr std::string_view kSettingsFileName = "loader.cfg";  // in the working directory
// The reader's buffer holds 128 bytes with the terminator.
constexpr std::size_t kSettingValueLimit = 127;
// The loader's own keys (records, station) carry connection strings and
// lists of device paths, which a 127-byte cut would silently change into
// other ones: they are read whole, up to this much.
constexpr std::size_t kLongSettingLimit = 4096;
// A settings file is a few lines; anything larger is not one.
constexpr std::size_t kSettingsFileLimit = 64 * 1024;

struct SettingKey {
  std::string_view name;
  std::string_view fallback;  // when the file, the section or the key is missing
  std::size_t limit = kSettingValueLimit;  // bytes of the value used
};

namespace setting {
constexpr std::string_view kSection = "CONFIG";
constexpr SettingKey kProdmode{"Prodmode", "0"};
constexpr SettingKey kType{"Type", "0"};
constexpr SettingKey kComport{"Comport", "1"};
constexpr SettingKey kFirmware{"Firmware", "REDIDADU.bin"};
// "fast" in any letter case for fast pacing; missing or anything else: classic.
constexpr SettingKey kPacing{"Pacing", "classic"};
// The line's records (ui/window_records.h): the journal, the database's ODBC
// connection string, the station's name, and the approved image's SHA-256.
// Empty or missing: not used.
constexpr SettingKey kReport{"Report", "", kLongSettingLimit};
constexpr SettingKey kRecordsDb{"RecordsDb", "", kLongSettingLimit};
constexpr SettingKey kStationName{"StationName", "", kLongSettingLimit};
constexpr SettingKey kFirmwareSha256{"FirmwareSha256", "", kLongSettingLimit};
// The station view: "1" (any value but one beginning with "0") opens it;
// Ports= lists its slots (COM numbers or device paths, comma-separated);
// Next= says what starts a slot's next unit: "plug", "enter" or "scan".
constexpr SettingKey kStation{"Station", "0", kLongSettingLimit};
constexpr SettingKey kPorts{"Ports", "", kLongSettingLimit};
constexpr SettingKey kNext{"Next", "plug", kLongSettingLimit};
}  // namespace setting

class SettingsFile {
 public:
  SettingsFile() = default;  // no file: every read gives its default

  // The file's bytes: 8-bit text, or UTF-16 after its byte-order mark.
  static SettingsFile Parse(std::string_view text);
  // A file that is missing or cannot be read, and anything in its place that
  // is not a regular file of at most kSettingsFileLimit bytes, gives an empty
  // one.
  static SettingsFile Load(const std::filesystem::path& path);

  // The key's value in the section, as 8-bit text of at most `limit` bytes
  // (its encoding: ui/setting_text.h), or `fallback` when either is missing.
  // A key present with nothing after "=" is an empty value, not a missing one.
  std::string Read(std::string_view section, std::string_view key, std::string_view fallback,
                   std::size_t limit = kSettingValueLimit) const;
  std::string Read(const SettingKey& key) const {
    return Read(setting::kSection, key.name, key.fallback, key.limit);
  }

  // The value as the window shows it, and the file it names. A file saved as
  // UTF-16 holds wide text, which is kept whole; 8-bit files follow the
  // platform's rule (ui/setting_text.h).
  std::wstring ReadText(const SettingKey& key) const;
  std::optional<FirmwareName> ReadFileName(const SettingKey& key) const;

 private:
  static SettingsFile ParseText(std::string_view text);  // 8-bit text

  struct Entry {
    std::string key;
    std::string value;
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
  };
  std::vector<Section> sections_;
  bool wide_text_ = false;  // read from UTF-16: the values are kept as UTF-8
};

// Production mode from the "Prodmode" value: on unless its first byte is "0".
// An empty value counts as on: its first byte is the terminator, not "0".
bool ProductionFlag(std::string_view prodmode_value);

}  // namespace zevuvuri::ui
