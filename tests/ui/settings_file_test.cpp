#include "ui/settings_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace zevuvuri::ui {
namespace {

std::string ReadType(std::string_view text) { return SettingsFile::Parse(text).Read(setting::kType); }

TEST(SettingsFile, MissingFileSectionOrKeyGivesEachDefault) {
  const SettingsFile none = SettingsFile::Load("/nonexistent/dir/loader.cfg");
  EXPECT_EQ(none.Read(setting::kProdmode), "0");
  EXPECT_EQ(none.Read(setting::kType), "0");
  EXPECT_EQ(none.Read(setting::kComport), "1");
  EXPECT_EQ(none.Read(setting::kFirmware), "REDIDADU.bin");

  const SettingsFile other_section = SettingsFile::Parse("[OTHER]\nComport=7\n");
  EXPECT_EQ(other_section.Read(setting::kComport), "1");
  const SettingsFile other_key = SettingsFile::Parse("[CONFIG]\nComport=7\n");
  EXPECT_EQ(other_key.Read(setting::kType), "0");
  EXPECT_EQ(other_key.Read(setting::kComport), "7");
}

TEST(SettingsFile, NamesMatchWithoutCaseAndBlanksAreDropped) {
  const SettingsFile file = SettingsFile::Parse("  [ config ]  \r\n\tcomPORT\t =  12  \r\nTYPE= 8\r\n");
  EXPECT_EQ(file.Read(setting::kComport), "12");
  EXPECT_EQ(file.Read(setting::kType), "8");
}

// A file saved as UTF-16 in either byte order: a character past U+FFFF (a
// pair) is read whole, a half without its other half as U+FFFD, and an odd
// last byte, which holds no unit, is dropped.
TEST(SettingsFile, Utf16FileKeepsPairsAndReplacesLoneHalves) {
  const std::u16string text = {u'[', u'C', u'O', u'N', u'F', u'I', u'G', u']', u'\n', u'S', u't', u'a', u't', u'i',
                               u'o', u'n', u'N', u'a', u'm', u'e', u'=', 0xD83D, 0xDE00, u'-', 0xD800, u'-', 0xDC00,
                               u'\n'};
  for (const bool big_endian : {false, true}) {
    SCOPED_TRACE(big_endian ? "big-endian" : "little-endian");
    std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char16_t unit : text) {
      const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
      bytes += big_endian ? std::string{high, low} : std::string{low, high};
    }
    bytes += 'x';
    EXPECT_EQ(SettingsFile::Parse(bytes).Read(setting::kStationName),
              "\xF0\x9F\x98\x80-\xEF\xBF\xBD-\xEF\xBF\xBD");
  }
}

TEST(SettingsFile, ValueShapes) {
  struct Case {
    const char* line;
    const char* expected;
  };
  const Case cases[] = {
      {"Type=\"24\"", "24"},             // matching quotes dropped
      {"Type='24'", "24"},
      {"Type=  \" 24 \"  ", " 24 "},     // blanks inside quotes kept
      {"Type=\"24'", "\"24'"},           // unmatched quotes kept
      {"Type=\"", "\""},                 // a lone quote is no pair
      {"Type=a=b", "a=b"},               // the first "=" splits
      {"Type=", ""},                     // present and empty
      {"Type = 1 ; note", "1 ; note"},   // no comments after a value
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadType(std::string("[CONFIG]\n") + c.line + "\n"), c.expected) << c.line;
  }
}

TEST(SettingsFile, FirstSectionAndFirstKeyWin) {
  EXPECT_EQ(ReadType("[CONFIG]\nType=3\nType=4\n"), "3");
  // Only the first section of a name is searched, as the profile reader does.
  EXPECT_EQ(ReadType("[CONFIG]\nComport=2\n[CONFIG]\nType=4\n"), "0");
  EXPECT_EQ(ReadType("[CONFIG]\n[CONFIG2]\nType=4\n"), "0");
}

TEST(SettingsFile, CommentsStrayLinesAndKeysOutsideSectionsAreIgnored) {
  EXPECT_EQ(ReadType("Type=5\n[CONFIG]\n; Type=6\n  ;Type=7\nType\nnot a key\n=9\nType=8"), "8");
  EXPECT_EQ(ReadType("\xEF\xBB\xBF[CONFIG]\nType=2\n"), "2");  // an editor's UTF-8 mark
}

TEST(SettingsFile, ValuesAreCutTo127Bytes) {
  const std::string long_value(200, 'x');
  const std::string exact(127, 'y');
  EXPECT_EQ(ReadType("[CONFIG]\nType=" + long_value + "\n"), std::string(127, 'x'));
  EXPECT_EQ(ReadType("[CONFIG]\nType=" + exact + "\n"), exact);
  // The quotes are dropped before the cut, so 127 bytes of content remain.
  EXPECT_EQ(ReadType("[CONFIG]\nType=\"" + long_value + "\"\n"), std::string(127, 'x'));
  // The loader's own keys are read whole: a connection string cut short
  // would name another server, a port list cut short would drop a slot.
  const SettingsFile own = SettingsFile::Parse("[CONFIG]\nRecordsDb=" + long_value + "\nPorts=" + long_value + "\n");
  EXPECT_EQ(own.Read(setting::kRecordsDb), long_value);
  EXPECT_EQ(own.Read(setting::kPorts), long_value);
}

TEST(SettingsFile, LoadsFromDisk) {
  const auto path = std::filesystem::temp_directory_path() / ("zevuvuri-settings-" + std::to_string(::getpid()) + ".cfg");
  {
    std::ofstream out(path, std::ios::binary);
    out << "[CONFIG]\r\nProdmode=1\r\nFirmware=fw/app.bin\r\n";
  }
  const SettingsFile file = SettingsFile::Load(path);
  std::filesystem::remove(path);
  EXPECT_EQ(file.Read(setting::kProdmode), "1");
  EXPECT_EQ(file.Read(setting::kFirmware), "fw/app.bin");
}

// Only a regular file of a settings file's size is read; anything else in its
// place reads as no file at all.
TEST(SettingsFile, WhatIsNoRegularFileOfBoundedSizeGivesTheDefaults) {
  const auto dir = std::filesystem::temp_directory_path() / ("zevuvuri-settings-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir / "directory.cfg");
  {
    std::ofstream out(dir / "large.cfg", std::ios::binary);
    out << "[CONFIG]\nComport=7\n" << std::string(kSettingsFileLimit, ';');
  }
  std::vector<std::filesystem::path> paths = {dir / "directory.cfg", dir / "large.cfg"};
  std::error_code ec;
  std::filesystem::create_symlink("/dev/zero", dir / "endless.cfg", ec);  // where devices exist
  if (!ec) paths.push_back(dir / "endless.cfg");
  for (const auto& path : paths) {
    SCOPED_TRACE(path.string());
    EXPECT_EQ(SettingsFile::Load(path).Read(setting::kComport), "1");
  }
  std::filesystem::remove_all(dir);
}

TEST(ProductionFlag, OnUnlessTheFirstByteIsZero) {
  struct Case {
    const char* value;
    bool on;
  };
  const Case cases[] = {
      {"0", false}, {"00", false}, {"01", false}, {"0abc", false},
      {"1", true},  {"2", true},   {"abc", true}, {"", true},  // empty: the terminator is not "0"
      {" 0", true},  // the reader trims, so this only arises from quotes
  };
  for (const auto& c : cases) EXPECT_EQ(ProductionFlag(c.value), c.on) << '"' << c.value << '"';
  EXPECT_FALSE(ProductionFlag(SettingsFile::Parse("[CONFIG]\nProdmode = \"0\"\n").Read(setting::kProdmode)));
  EXPECT_TRUE(ProductionFlag(SettingsFile::Parse("[CONFIG]\nProdmode=\n").Read(setting::kProdmode)));
}

}  // namespace
}  // namespace zevuvuri::ui
