#include "station/station_name.h"

#include "engine/text_encoding.h"

namespace zevuvuri::station {

std::optional<std::string> StationNameProblem(std::string_view name) {
  std::size_t units = 0;
  std::size_t characters = 0;
  for (std::size_t i = 0; i < name.size();) {
    const Utf8Character c = DecodeUtf8(name.substr(i));
    if (c.length == 0) return "the station name is not UTF-8 text";
    units += c.value >= 0x10000 ? 2 : 1;  // a UTF-16 pair in the column
    ++characters;
    i += c.length;
  }
  if (units > kMostStationNameUnits) {
    return "the station name is " + std::to_string(characters) + " characters long; the records' station column " +
           "holds at most " + std::to_string(kMostStationNameUnits) + " (a character past U+FFFF counts twice)";
  }
  return std::nullopt;
}

}  // namespace zevuvuri::station
