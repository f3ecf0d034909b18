#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <utility>

#include "engine/com_ports_win32.h"
#include "engine/port_diagnosis.h"
#include "engine/port_name.h"
#include "engine/text_encoding.h"

namespace zevuvuri {
namespace {

std::string SystemMessage(int code) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = n > 0 && text != nullptr ? std::wstring(text, n) : L"";
  if (text != nullptr) ::LocalFree(text);
  while (!message.empty() && std::iswspace(message.back())) message.pop_back();
  if (message.empty()) return "system error " + std::to_string(code);
  return ToUtf8(message).value_or("system error " + std::to_string(code)) + " (error " + std::to_string(code) + ")";
}

// Every DOS device name of this machine, from the one multi-string that
// QueryDosDeviceW fills for a null name.
std::vector<std::wstring> DosDeviceNames() {
  std::vector<wchar_t> buffer(16384);
  for (;;) {
    const DWORD n = ::QueryDosDeviceW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n != 0) break;
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() > (1u << 22)) return {};
    buffer.resize(buffer.size() * 2);
  }
  std::vector<std::wstring> names;
  for (const wchar_t* p = buffer.data(); *p != L'\0'; p += std::wcslen(p) + 1) names.emplace_back(p);
  return names;
}

}  // namespace

std::vector<std::pair<unsigned long, std::wstring>> ComPorts() {
  std::vector<std::pair<unsigned long, std::wstring>> ports;
  for (const auto& name : DosDeviceNames()) {
    if (name.size() < 4 || _wcsnicmp(name.c_str(), L"COM", 3) != 0) continue;
    // Only the names that a port text reaches: "COM" and its number as the
    // operator writes it.
    std::string digits;
    for (wchar_t c : name.substr(3)) digits += c < 0x80 ? static_cast<char>(c) : '?';
    const auto number = ComNumber(digits);
    if (!number) continue;
    wchar_t target[1024] = {};
    const DWORD n = ::QueryDosDeviceW(name.c_str(), target, static_cast<DWORD>(std::size(target)));
    ports.emplace_back(*number, n != 0 ? std::wstring(target) : L"");
  }
  std::sort(ports.begin(), ports.end());
  return ports;
}

namespace {

std::string PortNumbers() {
  std::string list;
  for (const auto& [n, target] : ComPorts()) list += (list.empty() ? "" : ", ") + ("COM" + std::to_string(n));
  return list.empty() ? "none" : list;
}

}  // namespace

std::string ProcRoot() { return ""; }

// Windows tells nobody which process holds a COM port.
std::vector<std::string> ProcessesHolding(const std::string&) { return {}; }

// The device name Windows tried is all an explanation needs here.
std::string ExplainOpenFailure(std::string_view, const PortOpenError& error) {
  const std::string& device = error.device;
  switch (error.kind) {
    case PortFailure::NoSuchDevice:
    case PortFailure::BadPortText:
      return "no such COM port: " + device + " (the COM ports of this machine: " + PortNumbers() +
             "; give the number alone, such as 3 for COM3; is the module plugged in?)";
    case PortFailure::Busy:
    case PortFailure::PermissionDenied:
      return device + " is in use by another program (a terminal, another loader): close it and try again";
    case PortFailure::NotASerialDevice:
      return device + " is not a serial port: " + SystemMessage(error.system_error);
    case PortFailure::SetupFailed:
      return device + " opened but could not be set up: " + SystemMessage(error.system_error);
    case PortFailure::Other:
    case PortFailure::None:
      break;
  }
  return device + ": " + SystemMessage(error.system_error);
}

}  // namespace zevuvuri
