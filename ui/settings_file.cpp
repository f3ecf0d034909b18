#include "ui/settings_file.h"

#include <fstream>
#include <iterator>

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

std::string Cut(std::string_view value) { return std::string(value.substr(0, kSettingValueLimit)); }

}  // namespace

SettingsFile SettingsFile::Parse(std::string_view text) {
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

SettingsFile SettingsFile::Load(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return SettingsFile{};
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return Parse(text);
}

std::string SettingsFile::Read(std::string_view section, std::string_view key, std::string_view fallback) const {
  for (const auto& s : sections_) {
    if (!SameName(s.name, section)) continue;
    // Only the first section of that name is looked at, as the profile reader does.
    for (const auto& entry : s.entries) {
      if (SameName(entry.key, key)) return Cut(Unquoted(entry.value));
    }
    break;
  }
  return Cut(fallback);
}

bool ProductionFlag(std::string_view prodmode_value) { return prodmode_value.empty() || prodmode_value.front() != '0'; }

}  // namespace zevuvuri::ui
