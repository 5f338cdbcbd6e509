#include <algorithm>
#include <cstring>

#include "base/classes.h"
#include "platform/files.h"

// ---------------------------------------------------------------------------------------
// TStream

int64_t TStream::Size() {
  const int64_t pos = Seek(0, TSeekOrigin::soCurrent);
  const int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(pos, TSeekOrigin::soBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream* source, int64_t count) {
  if (count <= 0) {
    source->SetPosition(0);
    count = source->Size();
  }
  constexpr int64_t kChunk = 64 * 1024;
  std::vector<char> buffer(static_cast<size_t>(std::min(count, kChunk)));
  for (int64_t left = count; left > 0;) {
    const int64_t n = std::min(left, kChunk);
    source->ReadBuffer(buffer.data(), n);
    WriteBuffer(buffer.data(), n);
    left -= n;
  }
  return count;
}

// ---------------------------------------------------------------------------------------
// TMemoryStream
//
// A position before the start transfers nothing; one past the end reads nothing and a
// write there fills the gap with zeros.

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  const int64_t size = Size();
  if (count <= 0 || position_ < 0 || position_ >= size) return 0;
  const int64_t n = std::min(count, size - position_);
  std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0 || position_ < 0 || count > INT64_MAX - position_) return 0;
  const int64_t end = position_ + count;
  if (end > Size()) data_.resize(static_cast<size_t>(end));
  std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
  position_ = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  switch (origin) {
    case TSeekOrigin::soBeginning: position_ = offset; break;
    case TSeekOrigin::soCurrent: position_ += offset; break;
    case TSeekOrigin::soEnd: position_ = Size() + offset; break;
  }
  return position_;
}

void TMemoryStream::SetSize(int64_t size) {
  if (size < 0) throw EStreamError("Invalid stream size");
  data_.resize(static_cast<size_t>(size));
  if (position_ > size) position_ = size;
}

void TMemoryStream::Clear() {
  data_.clear();
  position_ = 0;
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
  TFileStream file(fileName, fmOpenRead | fmShareDenyWrite);
  const int64_t size = file.Size();
  std::string data(static_cast<size_t>(size), '\0');
  file.ReadBuffer(data.data(), size);
  data_ = std::move(data);
  position_ = 0;
}

void TMemoryStream::SaveToFile(const std::string& fileName) {
  TFileStream file(fileName, fmCreate);
  file.WriteBuffer(data_.data(), Size());
}

TStringStream::TStringStream(const std::string& initial) { data_ = initial; }

// ---------------------------------------------------------------------------------------
// TFileStream

TFileStream::TFileStream(const std::string& fileName, uint16_t mode)
    : fileName_(fileName), handle_(platform::INVALID_HANDLE) {
  if ((mode & fmCreate) == fmCreate) {
    handle_ = platform::FileCreate(fileName, mode & 0x00F0);
    if (handle_ == platform::INVALID_HANDLE) {
      throw EFCreateError("Cannot create file \"" + fileName + "\". " +
                          SysErrorMessage(platform::GetLastError()));
    }
  } else {
    handle_ = platform::FileOpen(fileName, mode);
    if (handle_ == platform::INVALID_HANDLE) {
      throw EFOpenError("Cannot open file \"" + fileName + "\". " +
                        SysErrorMessage(platform::GetLastError()));
    }
  }
}

TFileStream::~TFileStream() {
  if (handle_ != platform::INVALID_HANDLE) platform::FileClose(handle_);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const int64_t n = platform::FileRead(handle_, buffer, count);
  return n < 0 ? 0 : n;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const int64_t n = platform::FileWrite(handle_, buffer, count);
  return n < 0 ? 0 : n;
}

bool TFileStream::FlushToDisk() { return platform::FileFlush(handle_); }

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  return platform::FileSeek(handle_, offset, static_cast<int>(origin));
}

void TFileStream::SetSize(int64_t size) {
  if (size < 0 || !platform::FileTruncate(handle_, size)) {
    throw EStreamError("Cannot set the size of file \"" + fileName_ + "\". " +
                       SysErrorMessage(size < 0 ? platform::ERROR_INVALID_PARAMETER
                                                : platform::GetLastError()));
  }
  if (Position() > size) SetPosition(size);
}

int64_t TFileStream::Size() { return platform::FileSize(handle_); }
