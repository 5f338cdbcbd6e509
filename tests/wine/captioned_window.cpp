// A plain Win32 window with a Chinese caption, a client area of the size given on the
// command line and one push button: what the harness finds, measures and photographs
// before it looks at the real programs. It closes after the given number of seconds.
// Usage: captioned_window <client width> <client height> <seconds>
#include <windows.h>

#include <cstdlib>

namespace {

const wchar_t kCaption[] = L"窗口测试程序";

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case WM_TIMER:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, w, l);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  const int width = argc > 1 ? _wtoi(argv[1]) : 400;
  const int height = argc > 2 ? _wtoi(argv[2]) : 200;
  const int seconds = argc > 3 ? _wtoi(argv[3]) : 30;

  WNDCLASSW wc = {};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = L"CaptionedWindow";
  RegisterClassW(&wc);

  // The frame the system adds around the client area the caller asked for.
  const DWORD style = WS_CAPTION | WS_SYSMENU | WS_VISIBLE;
  RECT r = {0, 0, width, height};
  AdjustWindowRect(&r, style, FALSE);
  HWND window = CreateWindowExW(0, wc.lpszClassName, kCaption, style, 100, 100, r.right - r.left, r.bottom - r.top,
                                nullptr, nullptr, instance, nullptr);
  CreateWindowExW(0, L"BUTTON", L"开始修复", WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, width / 2 - 60, height - 60, 120,
                  40, window, nullptr, instance, nullptr);
  SetTimer(window, 1, static_cast<UINT>(seconds) * 1000, nullptr);

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
