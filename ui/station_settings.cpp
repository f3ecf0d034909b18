#include "ui/station_settings.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "engine/port_name.h"
#include "station/settings_completion.h"

namespace zevuvuri::ui {
namespace {

constexpr const char* kNoUnitStarts = ": no unit starts";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return lower;
}

// "COM3" is how Windows and its operators name port 3; the link takes the
// number alone. Anything else is kept as written.
std::string PortText(std::string_view entry) {
  if (entry.size() > 3 && Lower(entry.substr(0, 3)) == "com" && ComNumber(entry.substr(3))) {
    return std::string(entry.substr(3));
  }
  return std::string(entry);
}

// `source` names where the list came from in the problem's text.
std::optional<std::vector<std::string>> ParsePorts(std::string_view text, const std::string& source,
                                                   std::string* problem) {
  std::vector<std::string> ports;
  if (Trim(text).empty()) {
    *problem = source + " names no port: the station has no slot";
    return std::nullopt;
  }
  for (;;) {
    const std::size_t comma = text.find(',');
    const std::string_view entry = Trim(text.substr(0, comma));
    if (entry.empty()) {
      *problem = source + " has an empty entry between its commas";
      return std::nullopt;
    }
    std::string port = PortText(entry);
    if (std::find(ports.begin(), ports.end(), port) != ports.end()) {
      *problem = source + " names port " + port + " twice: a port is one slot";
      return std::nullopt;
    }
    ports.push_back(std::move(port));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return ports;
}

std::optional<station::NextUnit> ParseNext(std::string_view text) {
  const std::string next = Lower(Trim(text));
  if (next == "plug") return station::NextUnit::Plug;
  if (next == "enter") return station::NextUnit::Enter;
  if (next == "scan") return station::NextUnit::Scan;
  return std::nullopt;
}

std::optional<std::string> Given(std::string value) {
  if (value.empty()) return std::nullopt;
  return value;
}

std::optional<station::StationSettings> Build(const SettingsFile& file, std::string_view ports_text,
                                              const std::string& ports_source, std::string type_text,
                                              std::string firmware, const station::SettingNames& names,
                                              std::string* problem) {
  std::string ignored;
  if (problem == nullptr) problem = &ignored;
  problem->clear();
  station::StationSettings settings;
  auto ports = ParsePorts(ports_text, ports_source, problem);
  if (!ports) return std::nullopt;
  settings.ports = std::move(*ports);

  const std::string next_text = file.Read(setting::kNext);
  const auto next = ParseNext(next_text);
  if (!next) {
    *problem = "Next= in loader.cfg is \"" + next_text + "\": give plug, enter or scan";
    return std::nullopt;
  }
  settings.next = *next;

  settings.firmware = std::move(firmware);
  settings.type_text = std::move(type_text);
  // As the single window reads it: "fast" in any letter case, else classic.
  settings.pacing = ParsePacing(Lower(file.Read(setting::kPacing))).value_or(Pacing::Classic);
  settings.report = Given(file.Read(setting::kReport));
  settings.records_db = Given(file.Read(setting::kRecordsDb));
  settings.station_name = file.Read(setting::kStationName);
  settings.firmware_sha256 = Given(file.Read(setting::kFirmwareSha256));
  // Completed and checked as every front end's: the default journal for a
  // records database, the host name, the pin; and since nobody at a terminal
  // would see every unit fail, a firmware file that is there and a module
  // type that is one.
  station::Completion how;
  how.names = names;
  how.firmware_must_exist = true;
  how.type_must_be_code = true;
  settings.names = names;
  if (const auto refused = station::CompleteSettings(settings, how)) {
    *problem = *refused;
    return std::nullopt;
  }
  // The window has no one to confirm for the operator: a unit over the air
  // waits for the start button, as the single window's waits for its press.
  settings.yes = false;
  return settings;
}

}  // namespace

bool StationRequested(const SettingsFile& file) {
  const std::string value = file.Read(setting::kStation);
  return !value.empty() && value.front() != '0';
}

std::optional<station::StationSettings> ReadStationSettings(const SettingsFile& file, std::string* problem) {
  const std::string type = file.Read(setting::kType);
  // The firmware's name as the single window takes it from the file (UTF-16
  // files included); one that cannot be carried exactly is refused.
  const auto firmware = file.ReadFileName(setting::kFirmware);
  if (!firmware) {
    if (problem != nullptr) *problem = "Firmware= in loader.cfg names no file that can be opened exactly";
    return std::nullopt;
  }
  return Build(file, file.Read(setting::kPorts), "Ports= in loader.cfg", type, firmware->Bytes(),
               station::SettingsFileNames(kNoUnitStarts), problem);
}

std::optional<station::StationSettings> StationFromWindow(const SettingsFile& file, std::string_view ports,
                                                          std::string type_text, std::string firmware,
                                                          std::string* problem) {
  // The firmware and the type are the window's fields, not the file's keys.
  station::SettingNames names = station::SettingsFileNames(kNoUnitStarts);
  names.firmware = "The file name field";
  names.type = "The Type field";
  return Build(file, ports, "The port list", std::move(type_text), std::move(firmware), names, problem);
}

}  // namespace zevuvuri::ui
