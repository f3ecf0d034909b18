#include "ui/settings_file.h"

#include <cstdint>
#include <fstream>

#include "engine/text_encoding.h"
#include "ui/setting_text.h"

namespace zevuvuri::ui {
namespace {

// The profile reader's blanks; 0x1A is the old end-of-file mark that DOS
// editors left behind.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == '\x1a';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

std::string_view Unquoted(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

std::string Cut(std::string_view value, std::size_t limit) { return std::string(value.substr(0, limit)); }

// The byte pairs of a file saved as UTF-16, in either byte order, as code
// units; an odd last byte is dropped.
std::u16string Utf16Units(std::string_view bytes, bool big_endian) {
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto first = static_cast<unsigned char>(bytes[i]);
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    units.push_back(static_cast<char16_t>(big_endian ? (first << 8u) | second : (second << 8u) | first));
  }
  return units;
}

}  // namespace

SettingsFile SettingsFile::ParseText(std::string_view text) {
  SettingsFile file;
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);  // a UTF-8 mark some editors write
  Section* current = nullptr;  // keys before the first section header belong to none
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view raw = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

    const std::string_view line = Trim(raw);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      // The name runs to the last "]"; anything after it is ignored.
      std::string_view name = line.substr(1);
      if (const std::size_t close = name.rfind(']'); close != std::string_view::npos) name = name.substr(0, close);
      file.sections_.push_back(Section{std::string(Trim(name)), {}});
      current = &file.sections_.back();
      continue;
    }
    const std::size_t equals = line.find('=');
    if (current == nullptr || equals == std::string_view::npos) continue;  // no key=value line
    const std::string_view key = Trim(line.substr(0, equals));
    if (key.empty()) continue;
    current->entries.push_back(Entry{std::string(key), std::string(Trim(line.substr(equals + 1)))});
  }
  return file;
}

SettingsFile SettingsFile::Parse(std::string_view text) {
  // A file saved as UTF-16 starts with its byte-order mark; the profile reader
  // reads it as such, and so does this one.
  if (text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF")) {
    const bool big_endian = text.front() == '\xFE';
    // A lone surrogate is read as U+FFFD.
    SettingsFile file = ParseText(Utf16ToUtf8(Utf16Units(text.substr(2), big_endian)));
    file.wide_text_ = true;
    return file;
  }
  return ParseText(text);
}

// A directory, a device or a pipe in the file's place would throw, never end
// or block: only a regular file is read, and no more of it than a settings
// file can hold, so one that grows meanwhile is caught too.
SettingsFile SettingsFile::Load(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return SettingsFile{};
  std::ifstream in(path, std::ios::binary);
  if (!in) return SettingsFile{};
  std::string text(kSettingsFileLimit + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) return SettingsFile{};
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > kSettingsFileLimit) return SettingsFile{};
  return Parse(text);
}

std::string SettingsFile::Read(std::string_view section, std::string_view key, std::string_view fallback,
                               std::size_t limit) const {
  for (const auto& s : sections_) {
    if (!SameName(s.name, section)) continue;
    // Only the first section of that name is looked at, as the profile reader does.
    for (const auto& entry : s.entries) {
      if (SameName(entry.key, key)) return Cut(Unquoted(entry.value), limit);
    }
    break;
  }
  return Cut(fallback, limit);
}

std::wstring SettingsFile::ReadText(const SettingKey& key) const {
  const std::string value = Read(key);
  return wide_text_ ? FromUtf8(value) : SettingToWindowText(value);
}

std::optional<FirmwareName> SettingsFile::ReadFileName(const SettingKey& key) const {
  const std::string value = Read(key);
  return wide_text_ ? FirmwareName::FromText(FromUtf8(value)) : SettingToFirmwareName(value);
}

bool ProductionFlag(std::string_view prodmode_value) { return prodmode_value.empty() || prodmode_value.front() != '0'; }

}  // namespace zevuvuri::ui
