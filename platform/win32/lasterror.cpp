#include "platform/types.h"

#include <windows.h>

namespace platform {

// The system's own last error: the Win32 calls set it, and so do we.
DWORD GetLastError() { return ::GetLastError(); }
void SetLastError(DWORD code) { ::SetLastError(code); }

}  // namespace platform
