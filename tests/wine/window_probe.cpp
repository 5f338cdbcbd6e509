// Looks at a top-level window of another program from inside the same Wine desktop, as
// the window sessions need it: what X shows is the whole frame, only Windows knows where
// the client area is. Prints one line per fact; exits 1 when the window is not found.
//   window_probe find <caption> <seconds>  client WxH, frame WxH, origin DX,DY (client in frame)
//   window_probe move <caption> <x> <y>    moves it the way a user's drag ends: position X,Y
//   window_probe enter <caption>           Enter to the control that has the focus there
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

HWND FindVisible(const wchar_t* caption, int seconds) {
  for (int i = 0; i <= seconds * 10; ++i) {
    HWND window = FindWindowW(nullptr, caption);
    if (window && IsWindowVisible(window)) return window;
    Sleep(100);
  }
  return nullptr;
}

int Find(HWND window) {
  RECT client, frame;
  GetClientRect(window, &client);
  GetWindowRect(window, &frame);
  POINT origin = {0, 0};
  ClientToScreen(window, &origin);
  std::printf("client %ldx%ld\nframe %ldx%ld\norigin %ld,%ld\n", client.right, client.bottom, frame.right - frame.left,
              frame.bottom - frame.top, origin.x - frame.left, origin.y - frame.top);
  return 0;
}

int Move(HWND window, int x, int y) {
  // Sent to the owner's thread: this returns only once that thread has handled it.
  if (!SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE)) return 1;
  RECT frame;
  GetWindowRect(window, &frame);
  std::printf("position %ld,%ld\n", frame.left, frame.top);
  return 0;
}

int Enter(HWND window) {
  GUITHREADINFO info = {};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) return 1;
  HWND target = info.hwndFocus ? info.hwndFocus : window;
  PostMessageW(target, WM_KEYDOWN, VK_RETURN, 1);
  PostMessageW(target, WM_KEYUP, VK_RETURN, 0xC0000001);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: window_probe find|move|enter <caption> ...\n");
    return 2;
  }
  const wchar_t* command = argv[1];
  const int seconds = std::wcscmp(command, L"find") == 0 && argc > 3 ? _wtoi(argv[3]) : 10;
  HWND window = FindVisible(argv[2], seconds);
  if (!window) {
    std::fprintf(stderr, "window_probe: no visible window with that caption\n");
    return 1;
  }
  if (std::wcscmp(command, L"find") == 0) return Find(window);
  if (std::wcscmp(command, L"move") == 0 && argc > 4) return Move(window, _wtoi(argv[3]), _wtoi(argv[4]));
  if (std::wcscmp(command, L"enter") == 0) return Enter(window);
  return 2;
}
