#include "station/station_name.h"

namespace zevuvuri::station {

std::optional<std::string> StationNameProblem(std::string_view name) {
  std::size_t units = 0;
  std::size_t characters = 0;
  for (std::size_t i = 0; i < name.size();) {
    const auto lead = static_cast<unsigned char>(name[i]);
    std::size_t n = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                                    : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    bool valid = n != 0 && i + n <= name.size();
    char32_t value = n == 1 ? lead : n == 2 ? lead & 0x1F : n == 3 ? lead & 0x0F : lead & 0x07;
    for (std::size_t k = 1; valid && k < n; ++k) {
      const auto next = static_cast<unsigned char>(name[i + k]);
      valid = (next & 0xC0) == 0x80;
      value = value << 6 | (next & 0x3F);
    }
    valid = valid && !(n == 3 && value < 0x800) && !(n == 4 && value < 0x10000) && value <= 0x10FFFF &&
            !(value >= 0xD800 && value <= 0xDFFF);
    if (!valid) return "the station name is not UTF-8 text";
    units += n == 4 ? 2 : 1;
    ++characters;
    i += n;
  }
  if (units > kMostStationNameUnits) {
    return "the station name is " + std::to_string(characters) + " characters long; the records' station column " +
           "holds at most " + std::to_string(kMostStationNameUnits) + " (a character past U+FFFF counts twice)";
  }
  return std::nullopt;
}

}  // namespace zevuvuri::station
