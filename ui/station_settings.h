// The station view's settings in loader.cfg: Station= opens the view, Ports=
// lists its slots, Next= says what starts a slot's next unit, and the keys the
// single window reads too (Firmware, Type, Pacing, Report, RecordsDb,
// StationName, FirmwareSha256) say what every slot flashes and where its
// records go.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "station/station_model.h"
#include "ui/settings_file.h"

namespace zevuvuri::ui {

// Station= asks for the station view: on unless the value begins with "0"; a
// missing key and an empty value leave it off, so that a blank line left in a
// file never turns a desk's window into a station.
bool StationRequested(const SettingsFile& file);

// The station from loader.cfg, or nothing and `*problem` (one line for the
// operator, naming the key) when the file describes no station that can run:
// no port, an empty or repeated entry in Ports=, a Next= other than plug,
// enter or scan (in any letter case), a FirmwareSha256= that is no SHA-256.
// Ports= takes COM numbers ("3", or "COM3" as Windows names it) and device
// paths, separated by commas, blanks around each dropped. Whether a port can
// take plugged units and whether two entries lead to one device is the
// model's to say when it opens.
std::optional<station::StationSettings> ReadStationSettings(const SettingsFile& file, std::string* problem);

// The main window's "Station...": the ports the operator typed (as Ports=),
// the module type and firmware of the window's fields, the rest from
// loader.cfg; refused as ReadStationSettings refuses (the problem then
// speaks of "the port list").
std::optional<station::StationSettings> StationFromWindow(const SettingsFile& file, std::string_view ports,
                                                          std::string type_text, std::string firmware,
                                                          std::string* problem);

}  // namespace zevuvuri::ui
