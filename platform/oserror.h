// Translation of errno values into the Windows error codes the platform interface reports.
// Internal to platform/.
#pragma once

#include <string>

#include "platform/types.h"

namespace platform {

// Codes without a Windows counterpart come back as 0x88000000 + errno, which
// SysErrorMessage turns into the system's own text.
constexpr DWORD ERRNO_ERROR_BASE = 0x88000000;

DWORD ErrorFromErrno(int err);

// Sets the last error from errno. With a path, ENOENT becomes ERROR_PATH_NOT_FOUND when
// the folder the path names is missing, as Windows tells the two apart.
void SetLastErrorFromErrno(int err, const std::string& path = std::string());

// The folder part of a path ("." when it has none).
std::string ParentDirectory(const std::string& path);

}  // namespace platform
