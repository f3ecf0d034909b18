// What differs on Windows below the link and the controller: the COM device
// names, how ports that cannot be used are told apart, and firmware files
// whose names or sizes the C library's narrow calls get wrong.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "engine/firmware_file.h"
#include "engine/text_encoding.h"
#include "engine/port_name.h"
#include "engine/serial_port.h"

namespace zevuvuri {
namespace {

TEST(PortName, TheTextFollowsTheDevicePrefixVerbatim) {
  const struct {
    const char* text;
    const char* device;
  } cases[] = {
      {"1", R"(\\.\COM1)"},
      {"12", R"(\\.\COM12)"},  // above COM9 only the device prefix reaches it
      {"", R"(\\.\COM)"},
      {"03", R"(\\.\COM03)"},
      {" 3", R"(\\.\COM 3)"},
  };
  for (const auto& c : cases) {
    const auto named = DeviceForPortText(c.text);
    ASSERT_TRUE(named) << c.text;
    EXPECT_EQ(named->path, c.device) << c.text;
    EXPECT_EQ(named->mapped_by, "");
  }
  // Bytes that are no UTF-8 have no exact wide form: they name no device.
  EXPECT_FALSE(DeviceForPortText("1\xff"));
}

TEST(SerialPortOpen, PortsThatCannotBeUsedFailWithTheirReason) {
  PortOpenError error;
  EXPECT_EQ(SerialPort::Open("250", &error), nullptr);
  EXPECT_EQ(error.kind, PortFailure::NoSuchDevice);
  EXPECT_EQ(error.device, R"(\\.\COM250)");
  EXPECT_NE(error.system_error, 0);

  error = {};
  EXPECT_EQ(SerialPort::Open("", &error), nullptr) << R"(\\.\COM names no port)";
  EXPECT_NE(error.kind, PortFailure::None);
  EXPECT_EQ(error.device, R"(\\.\COM)");
}

class FirmwareFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1];
    ASSERT_GT(::GetTempPathW(MAX_PATH + 1, temp), 0u);
    dir_ = std::wstring(temp) + L"zevuvuri-test-" + std::to_wstring(::GetCurrentProcessId());
    ASSERT_TRUE(::CreateDirectoryW(dir_.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS);
  }
  void TearDown() override {
    for (const auto& f : files_) ::DeleteFileW(f.c_str());
    ::RemoveDirectoryW(dir_.c_str());
  }
  std::wstring Write(const std::wstring& name, const std::vector<char>& bytes) {
    const std::wstring path = dir_ + L"\\" + name;
    FILE* f = ::_wfopen(path.c_str(), L"wb");
    EXPECT_NE(f, nullptr);
    if (f == nullptr) return path;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    files_.push_back(path);
    return path;
  }

  static std::unique_ptr<zevuvuri::FirmwareFile> Open(const std::wstring& path) {
    const auto name = FirmwareName::FromText(path);
    return name ? zevuvuri::FirmwareFile::Open(*name) : nullptr;
  }

  std::wstring dir_;
  std::vector<std::wstring> files_;
};

TEST_F(FirmwareFileTest, NamesOutsideTheAnsiCodePageOpenExactly) {
  // CJK, Cyrillic and an emoji have no form in a Western ANSI code page: the
  // narrow fopen would name another file or none.
  const std::vector<char> bytes = {'\x11', '\x13', '\0', '\xff', 'Z'};
  const std::wstring path = Write(L"\u4e2d\u6587-\u0444-\U0001F4E1-caf\u00e9.bin", bytes);
  const auto file = Open(path);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Size(), bytes.size());
  std::vector<char> read(16);
  EXPECT_EQ(file->Read({reinterpret_cast<std::uint8_t*>(read.data()), read.size()}), bytes.size())
      << "raw bytes: no text-mode translation";
  read.resize(bytes.size());
  EXPECT_EQ(read, bytes);
}

TEST_F(FirmwareFileTest, OnlyRegularFilesOpen) {
  EXPECT_EQ(Open(dir_), nullptr) << "a directory";
  EXPECT_EQ(Open(dir_ + L"\\missing.bin"), nullptr);
  EXPECT_EQ(Open(L"NUL"), nullptr) << "a device reads like an endless or empty file";
  EXPECT_EQ(Open(L"\\\\.\\pipe\\zevuvuri-none"), nullptr);
  // Bytes that are no UTF-8 cannot name a Windows file exactly.
  EXPECT_EQ(zevuvuri::FirmwareFile::Open(*FirmwareName::FromBytes("caf\xe9.bin")), nullptr);
}

TEST_F(FirmwareFileTest, SizesPastWhatALongHoldsAreMeasuredWhole) {
  const std::wstring path = Write(L"large.bin", {});
  FILE* f = ::_wfopen(path.c_str(), L"r+b");
  ASSERT_NE(f, nullptr);
  // Sparse on the host's file system: 5 GiB + 1 byte take no room.
  constexpr std::uint64_t kSize = (5ull << 30) + 1;
  ASSERT_EQ(::_fseeki64(f, static_cast<__int64>(kSize - 1), SEEK_SET), 0);
  ASSERT_EQ(std::fputc('x', f), 'x');
  std::fclose(f);

  const auto file = Open(path);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Size(), kSize) << "a 32-bit long would wrap this to 1 GiB + 1";
  std::uint8_t first = 0xAA;
  EXPECT_EQ(file->Read({&first, 1}), 1u);
  EXPECT_EQ(first, 0) << "read from the start";
}

}  // namespace
}  // namespace zevuvuri
