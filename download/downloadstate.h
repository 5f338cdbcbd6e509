// What a segmented download leaves beside its file for the next run: the document (URL,
// length, validator) and, for each part, its range and the bytes of it the file holds.
// Read and written as text without any I/O; the downloader does the file work.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TDownloadPartState {
  int64_t StartOffset = 0;
  int64_t EndOffset = 0;  // as requested: the last part's is the length itself
  int64_t Held = 0;       // bytes from StartOffset on that are in the file
};

struct TDownloadState {
  std::string URL;
  int64_t Length = 0;
  std::string Validator;
  std::vector<TDownloadPartState> Parts;
};

// The most parts a state may name.
constexpr size_t kMaxStateParts = 64;

std::string FormatDownloadState(const TDownloadState& state);

// False for a text that is damaged, truncated or does not describe a download the parts
// can take up (ranges that do not tile the document, held bytes past a range, a length
// out of bounds, no validator); state is then unspecified.
bool ParseDownloadState(const std::string& text, TDownloadState& state);
