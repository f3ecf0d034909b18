// The station's name as the records carry it (--station-name, the window's
// StationName=): checked once, at start, so that no record of the run is
// one the database can never take.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zevuvuri::station {

// The records' station column: varchar(255) in PostgreSQL, which counts
// characters (not bytes), and nvarchar(255) in SQL Server, which counts
// UTF-16 units. A name fits both when its UTF-16 length is at most this: a
// character past U+FFFF counts twice.
constexpr std::size_t kMostStationNameUnits = 255;

// Why `name` (UTF-8) cannot be a station's name in the records, or nothing
// when it can: not UTF-8 text, or longer than the column.
std::optional<std::string> StationNameProblem(std::string_view name);

}  // namespace zevuvuri::station
