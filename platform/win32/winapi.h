// The system headers for the Win32 implementation, included after the platform's own
// headers: their macros would otherwise rename our functions and constants. Our
// functions that share a name with a Win32 one lose the macro here; the system's are
// called by their wide names. Internal to platform/win32/.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#undef PostMessage
#undef PostThreadMessage
#undef SendMessage
#undef PeekMessage
#undef GetMessage
#undef DispatchMessage
#undef DefWindowProc
#undef CreateDirectory
#undef RemoveDirectory
#undef DeleteFile
#undef CopyFile
#undef MoveFile
#undef GetFileAttributes
#undef SetFileAttributes
#undef GetEnvironmentVariable
#undef SetEnvironmentVariable
#undef GetModuleFileName
#undef GetVersionEx
#undef LoadLibrary
#undef GetPrivateProfileString
#undef WritePrivateProfileString
#undef gethostname
#undef WSAAsyncGetHostByName
#undef GetTempPath
#undef GetCurrentDirectory
#undef ReplaceFile

namespace platform::win32 {
// The system's macros for these cast to its HANDLE and HWND, names that mean our own
// types inside namespace platform.
inline ::HANDLE InvalidHandle() { return reinterpret_cast<::HANDLE>(static_cast<intptr_t>(-1)); }
inline ::HWND MessageOnlyParent() { return reinterpret_cast<::HWND>(static_cast<intptr_t>(-3)); }
}  // namespace platform::win32
