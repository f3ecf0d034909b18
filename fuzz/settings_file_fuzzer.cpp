// loader.cfg from arbitrary bytes: no crash, no value longer than 127 bytes,
// the defaults wherever the text holds no section at all, and the same answer
// for the same question.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ui/settings_file.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "settings_file_fuzzer: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zevuvuri::ui;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const SettingsFile file = SettingsFile::Parse(text);
  const bool has_section = text.find('[') != std::string::npos;
  for (const SettingKey& key : {setting::kProdmode, setting::kType, setting::kComport, setting::kFirmware}) {
    const std::string value = file.Read(key);
    Check(value.size() <= kSettingValueLimit, "a value longer than 127 bytes");
    Check(value == file.Read(key), "two reads of one key differ");
    if (!has_section) Check(value == key.fallback, "a key read without any section");
  }
  // Any section and key name the input may hold.
  const std::string name = text.substr(0, size % 16);
  Check(file.Read(name, name, "d").size() <= kSettingValueLimit, "a value longer than 127 bytes");
  (void)ProductionFlag(file.Read(setting::kProdmode));
  return 0;
}
