// A component as regsvr32 meets one: registering it leaves an empty file named after it
// plus ".registered" beside it, so a test can see that the real regsvr32 loaded it and
// called it. Built only for Windows; it stands for the component sets' DLLs.
#include <windows.h>

#include <string>

namespace {
HMODULE self = nullptr;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) self = instance;
  return TRUE;
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllRegisterServer() {
  wchar_t path[4096];
  const DWORD n = GetModuleFileNameW(self, path, 4096);
  if (n == 0 || n >= 4096) return E_FAIL;
  const std::wstring marker = std::wstring(path, n) + L".registered";
  const HANDLE h = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return E_FAIL;
  CloseHandle(h);
  return S_OK;
}
