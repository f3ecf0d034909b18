// What every front end does to its settings before a station (or a single
// run) opens: the journal a records database needs, the station's name, the
// approved image's pin and, for a station nobody watches at a terminal, a
// firmware file that exists and a module type that is one. One place, so
// that the command line, loader.cfg's station view and the main window fill
// and refuse the same things; each front end only names its settings in its
// own words.
#pragma once

#include <optional>
#include <string>

#include "station/setting_names.h"
#include "station/station_model.h"

namespace zevuvuri::station {

struct Completion {
  SettingNames names = CommandLineNames();
  // A records database without a journal gets the default one (not for a
  // run that sends nothing itself, like --doctor).
  bool default_journal = true;
  // A station view refuses at open what would fail or mislabel every unit:
  // a firmware file that is not there, a module type that is no number from
  // 0 to 255 (which would be flashed as some other type).
  bool firmware_must_exist = false;
  bool type_must_be_code = false;
};

// Fills `settings` in (the default journal, the host name as the station's
// name, the pin in lowercase) or gives the first problem, one line for the
// operator naming the setting. `settings.firmware_sha256` comes in as the
// text given, nothing when none was.
std::optional<std::string> CompleteSettings(StationSettings& settings, const Completion& how);

// The module type as a station view takes it: decimal digits alone, blanks
// around them, from 0 to 255; nothing otherwise.
std::optional<unsigned> ModuleTypeNumber(const std::string& utf8_text);

}  // namespace zevuvuri::station
