// Small files written so that a crash leaves either the old or the complete new version,
// and the data of a file made durable before something that relies on it is written.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// Replaces (or creates) the file through a temporary file beside it, flushed and renamed
// (the atomic write the profile functions use). False with the last error set on failure.
bool WriteFileAtomically(const std::string& path, const std::string& content);

// The whole file, when it exists and holds at most maxSize bytes; false otherwise.
bool ReadSmallFile(const std::string& path, size_t maxSize, std::string* content);

// Flushes what was written to the file, through whatever handle, to the disk. On Linux
// nothing stands in the way; on Windows a holder that denies writing does (its own
// handle's FileFlush does not).
bool FlushFileToDisk(const std::string& path);

// Removes a directory with everything below it; true when nothing of it is left.
bool RemoveDirectoryTree(const std::string& path);

}  // namespace platform
