#include "tools/line/line_state.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>

#include <nlohmann/json.hpp>

namespace zevuvuri::line {
namespace {

constexpr std::int64_t kHourMs = 3'600'000;

bool Digits(std::string_view text, std::size_t at, std::size_t count, int* value) {
  if (at + count > text.size()) return false;
  int v = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    v = v * 10 + (text[i] - '0');
  }
  *value = v;
  return true;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return static_cast<std::int64_t>(era) * 146097 + doe - 719468;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::optional<std::int64_t> ParseDatabaseTime(std::string_view text) {
  int year, month, day, hour, minute, second;
  if (!Digits(text, 0, 4, &year) || text.size() < 19 || text[4] != '-' || !Digits(text, 5, 2, &month) ||
      text[7] != '-' || !Digits(text, 8, 2, &day) || (text[10] != ' ' && text[10] != 'T') ||
      !Digits(text, 11, 2, &hour) || text[13] != ':' || !Digits(text, 14, 2, &minute) || text[16] != ':' ||
      !Digits(text, 17, 2, &second)) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
  std::size_t i = 19;
  int millis = 0;
  if (i < text.size() && text[i] == '.') {
    int scale = 100;
    for (++i; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
      millis += (text[i] - '0') * scale;
      scale /= 10;
    }
  }
  int offset_minutes = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    const int sign = text[i] == '-' ? -1 : 1;
    int oh = 0, om = 0;
    if (!Digits(text, i + 1, 2, &oh)) return std::nullopt;
    i += 3;
    if (i < text.size() && text[i] == ':') ++i;
    if (i < text.size() && Digits(text, i, 2, &om)) i += 2;
    offset_minutes = sign * (oh * 60 + om);
  } else if (i < text.size() && text[i] == 'Z') {
    ++i;
  }
  if (i != text.size()) return std::nullopt;
  const std::int64_t seconds =
      DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset_minutes * 60;
  return seconds * 1000 + millis;
}

std::string IsoUtc(std::int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  std::tm t{};
  gmtime_r(&seconds, &t);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(ms - static_cast<std::int64_t>(seconds) * 1000));
  return text;
}

std::string SqlUtc(std::int64_t ms) {
  std::string iso = IsoUtc(ms);
  iso[10] = ' ';
  iso.pop_back();
  return iso;
}

std::vector<FailureCount> ParseFailureTally(std::string_view text) {
  std::vector<FailureCount> out;
  const nlohmann::json tally = nlohmann::json::parse(text, nullptr, false);
  if (!tally.is_array()) return out;
  for (const auto& entry : tally) {
    if (!entry.is_array() || entry.size() != 2 || !entry[0].is_string() || !entry[1].is_number_integer()) continue;
    out.push_back({entry[0].get<std::string>(), entry[1].get<std::int64_t>()});
  }
  return out;
}

std::optional<double> YieldPercent(std::int64_t ok, std::int64_t units) {
  if (units <= 0) return std::nullopt;
  return std::round(1000.0 * static_cast<double>(ok) / static_cast<double>(units)) / 10.0;
}

void JudgeStations(std::vector<StationState>* stations, std::int64_t now_ms) {
  for (auto& s : *stations) {
    s.flags.clear();
    s.online = !s.ended_ms && now_ms - s.beat_ms <= kOfflineAfterMs;
    s.offline_since_ms = s.online ? std::nullopt : std::optional<std::int64_t>(s.ended_ms ? *s.ended_ms : s.beat_ms);
  }
  // The image each module type's online stations flash most.
  std::map<int, std::map<std::string, int>> images_by_type;
  for (const auto& s : *stations) {
    if (s.online && s.firmware_sha256) ++images_by_type[s.type_code][Lower(*s.firmware_sha256)];
  }
  for (auto& s : *stations) {
    if (s.online && s.firmware_sha256) {
      const auto& images = images_by_type[s.type_code];
      int most = 0, with_most = 0;
      for (const auto& [image, count] : images) {
        if (count > most) {
          most = count;
          with_most = 1;
        } else if (count == most) {
          ++with_most;
        }
      }
      const int mine = images.at(Lower(*s.firmware_sha256));
      if (images.size() > 1 && (mine < most || with_most > 1)) {
        s.flags.push_back("differs from other stations of type " + std::to_string(s.type_code));
      }
    }
    if (s.approved_sha256) {
      const std::string approved = Lower(*s.approved_sha256);
      bool other = s.firmware_sha256 && Lower(*s.firmware_sha256) != approved;
      for (const auto& slot : s.slot_states) {
        other = other || (slot.firmware_sha256 && Lower(*slot.firmware_sha256) != approved);
      }
      if (other) s.flags.push_back("not the approved image");
    }
  }
}

std::int64_t HourStart(std::int64_t ms) { return ms - ((ms % kHourMs) + kHourMs) % kHourMs; }

ShiftTally AddTallies(const ShiftTally& a, const ShiftTally& b) {
  std::map<std::int64_t, HourYield> hours;
  std::map<std::string, std::int64_t> failures;
  for (const ShiftTally* t : {&a, &b}) {
    for (const auto& h : t->hours) {
      HourYield& sum = hours[HourStart(h.hour_ms)];
      sum.hour_ms = HourStart(h.hour_ms);
      sum.units += h.units;
      sum.ok += h.ok;
    }
    for (const auto& f : t->failures) failures[f.reason] += f.count;
  }
  ShiftTally out;
  for (const auto& [hour, h] : hours) out.hours.push_back(h);
  for (const auto& [reason, count] : failures) out.failures.push_back({reason, count});
  return out;
}

std::vector<FailureCount> TopFailures(std::vector<FailureCount> failures, std::size_t count) {
  std::sort(failures.begin(), failures.end(), [](const FailureCount& a, const FailureCount& b) {
    return a.count != b.count ? a.count > b.count : a.reason < b.reason;
  });
  if (failures.size() > count) failures.resize(count);
  return failures;
}

std::vector<HourYield> FillShiftHours(const std::vector<HourYield>& counted, std::int64_t from_ms,
                                      std::int64_t now_ms) {
  const auto floor_hour = HourStart;
  std::map<std::int64_t, HourYield> by_hour;
  for (const auto& h : counted) by_hour[floor_hour(h.hour_ms)] = h;
  std::vector<HourYield> out;
  for (std::int64_t hour = floor_hour(from_ms); hour <= floor_hour(now_ms); hour += kHourMs) {
    const auto found = by_hour.find(hour);
    HourYield h = found != by_hour.end() ? found->second : HourYield{};
    h.hour_ms = hour;
    out.push_back(h);
  }
  return out;
}

}  // namespace zevuvuri::line
