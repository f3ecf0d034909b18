// What Windows reads from the window's manifest when it starts the program:
// per-monitor DPI awareness, so that the dialog is drawn at the monitor's DPI
// instead of stretched from 96 (blurry at the 125-150 % of most laptops).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

TEST(WindowManifest, DeclaresPerMonitorDpiAwareness) {
  ACTCTXW request{};
  request.cbSize = sizeof request;
  request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  request.lpSource = ZEVUVURI_WINDOW_EXE;
  request.lpResourceName = MAKEINTRESOURCEW(1);  // the program's own manifest
  const HANDLE context = ::CreateActCtxW(&request);
  ASSERT_NE(context, INVALID_HANDLE_VALUE) << ::GetLastError();
  const auto setting = [&](const wchar_t* space, const wchar_t* name) {
    wchar_t value[64] = {};
    SIZE_T size = 0;
    if (!::QueryActCtxSettingsW(0, context, space, name, value, std::size(value), &size)) return std::wstring();
    return std::wstring(value);
  };
  EXPECT_EQ(setting(L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness"),
            L"PerMonitorV2, PerMonitor");
  // Read by versions before Windows 10 1607.
  EXPECT_EQ(setting(L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware"), L"true/pm");
  ::ReleaseActCtx(context);
}

}  // namespace
