#include "updater/archive/7zinarchive.h"

#include <memory>

#include "base/classes.h"
#include "base/sysutils.h"
#include "platform/files.h"
#include "updater/archive/7zstream.h"
#include "updater/archive/itempath.h"

using namespace sevenzip;

namespace {

// How far into the file the handler looks for the start of an archive.
constexpr uint64_t kMaxCheckStartPosition = 1048576;

[[noreturn]] void RaiseCode(HRESULT code) {
  throw Exception(SysErrorMessage(static_cast<uint32_t>(code)));
}

void Check(HRESULT code) {
  if (code != S_OK) RaiseCode(code);
}

[[noreturn]] void RaiseOutside(const std::string& item, const std::string& dir) {
  throw Exception(Format("Archive item \"%s\" would be written outside %s", item.c_str(),
                         dir.c_str()));
}

const char* OperationResultText(int32_t result) {
  switch (result) {
    case 1: return "unsupported compression method";
    case 2: return "data error";
    case 3: return "CRC error";
    case 4: return "data unavailable";
    case 5: return "unexpected end of data";
    case 6: return "data after the end of the payload";
    case 7: return "not an archive";
    case 8: return "headers error";
    case 9: return "wrong password";
    default: return "unknown error";
  }
}

}  // namespace

T7zInArchive::T7zInArchive(const std::string& libraryName) : T7zArchive(libraryName) {}

T7zInArchive::~T7zInArchive() {
  // The handler goes first: it releases the archive's input stream, which closes the
  // package file. The library itself is unloaded after this, by ~T7zPlugin.
  inArchive_.Reset();
}

// ---------------------------------------------------------------------------------------
// Reader operations.

IInArchive* T7zInArchive::EnsureInArchive() {
  if (!inArchive_) {
    void* created = nullptr;
    const HRESULT hr = CreateObjectProc()(&FormatId(), &IID_IInArchive, &created);
    if (hr < 0) RaiseCode(hr);
    if (!created) RaiseCode(E_NOINTERFACE);
    inArchive_ = TComPtr<IInArchive>::Attach(static_cast<IInArchive*>(created));
  }
  return inArchive_.Get();
}

// Left alone, the handler decodes on its own threads and calls GetStream, Write, Read and
// the progress callbacks from them. That is faster on compressible packages (a 200 MiB one
// on two cores: 2.7 s against 3.4 s) but takes 60-70 MiB of decoder buffers against 10 MiB
// here. On the caller's thread the file operations of GetStream stay on the thread that
// owns the platform and base objects they use, as everywhere else in the program, so that
// is the default; the updater asks for the library's threads.
SEVENZIP_CALLS_LIBRARY void T7zInArchive::KeepOnCallerThread() {
  void* found = nullptr;
  if (inArchive_->QueryInterface(IID_ISetProperties, &found) != S_OK || !found) return;
  TComPtr<ISetProperties> setter = TComPtr<ISetProperties>::Attach(static_cast<ISetProperties*>(found));
  const wchar_t* names[] = {L"mtf", L"mt"};
  PROPVARIANT values[2] = {};
  values[0].vt = VT_BOOL;
  values[0].boolVal = 0;
  values[1].vt = VT_UI4;
  values[1].ulVal = 1;
  // A handler that refuses still works, only on its own threads, which the callbacks
  // are prepared for.
  setter->SetProperties(names, values, 2);
}

SEVENZIP_CALLS_LIBRARY void T7zInArchive::OpenArchiveFile(const std::string& fileName) {
  opened_ = false;
  auto file = std::make_unique<TFileStream>(fileName, fmOpenRead | fmShareDenyNone);
  // The handler keeps its own reference to the adapter until it is released; the
  // package file stays open that long.
  TComPtr<T7zStream> stream(new T7zStream(file.get(), TStreamOwnership::soOwned));
  file.release();
  IInArchive* archive = EnsureInArchive();
  if (!UseLibraryThreads) KeepOnCallerThread();
  const uint64_t maxCheck = kMaxCheckStartPosition;
  Check(archive->Open(stream->AsInStream(), &maxCheck, this));
  opened_ = true;
}

SEVENZIP_CALLS_LIBRARY void T7zInArchive::ExtractAllTo(const std::string& dir) {
  ExtractItems(nullptr, 0xFFFFFFFF, dir);
}

SEVENZIP_CALLS_LIBRARY bool T7zInArchive::ExtractItemTo(const std::string& itemPath, const std::string& dir) {
  if (!inArchive_ || !opened_) throw Exception("No archive is open");
  uint32_t count = 0;
  Check(inArchive_->GetNumberOfItems(&count));
  for (uint32_t i = 0; i < count; ++i) {
    if (ItemPath(i) == itemPath && !ItemIsDir(i)) {
      ExtractItems(&i, 1, dir);
      return true;
    }
  }
  return false;
}

SEVENZIP_CALLS_LIBRARY void T7zInArchive::ExtractItems(const uint32_t* indices, uint32_t count,
                                                       const std::string& dir) {
  if (!inArchive_ || !opened_) throw Exception("No archive is open");
  // An empty name would put the files at the root of the file system.
  if (dir.empty()) throw Exception("No target directory given");
  CheckItemPaths(dir);

  {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.reset();
    createFailed_ = false;
    refusedPath_.reset();
    firstFailure_.reset();
    extractDir_ = IncludeTrailingPathDelimiter(dir);
  }
  const HRESULT hr = inArchive_->Extract(indices, count, 0, this);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    extractDir_.clear();
    // A file whose item failed halfway gets no SetOperationResult.
    FinishPendingFile();
  }

  if (refusedPath_) RaiseOutside(*refusedPath_, dir);
  // The library answers a target that could not be created with S_FALSE.
  if (createFailed_) RaiseCode(S_FALSE);
  Check(hr);
  // Damaged data reaches us only through SetOperationResult; such a package must not be
  // installed.
  if (firstFailure_) {
    const std::string path = ItemPath(firstFailure_->index).value_or("?");
    throw Exception(Format("Archive item \"%s\" is damaged: %s", path.c_str(),
                           OperationResultText(firstFailure_->result)));
  }
}

// Refuses the whole archive before anything is written when one of its items would land
// outside the target directory.
SEVENZIP_CALLS_LIBRARY void T7zInArchive::CheckItemPaths(const std::string& dir) {
  uint32_t count = 0;
  Check(inArchive_->GetNumberOfItems(&count));
  for (uint32_t i = 0; i < count; ++i) {
    const std::optional<std::string> path = ItemPath(i);
    if (!path || path->empty()) throw Exception(Format("Archive item %u has no name", i));
    if (!IsSafeItemPath(*path)) RaiseOutside(*path, dir);
  }
}

SEVENZIP_CALLS_LIBRARY std::optional<std::string> T7zInArchive::ItemPath(uint32_t index) {
  PROPVARIANT value{};
  inArchive_->GetProperty(index, kpidPath, &value);
  std::optional<std::string> path;
  if (value.vt == VT_BSTR && value.bstrVal) path = WideToUtf8(value.bstrVal);
  ClearProp(value);
  return path;
}

SEVENZIP_CALLS_LIBRARY bool T7zInArchive::ItemIsDir(uint32_t index) {
  PROPVARIANT value{};
  inArchive_->GetProperty(index, kpidIsDir, &value);
  const bool isDir = value.vt == VT_BOOL && value.boolVal != 0;
  ClearProp(value);
  return isDir;
}

// rwx bits of a regular file stored with the Unix extension, 0 otherwise. Set-id bits
// are not carried over, nor the bits of other file types (a link comes out as a small
// regular file holding its target).
SEVENZIP_CALLS_LIBRARY uint32_t T7zInArchive::ItemPermissions(uint32_t index) {
  PROPVARIANT value{};
  inArchive_->GetProperty(index, kpidAttrib, &value);
  uint32_t attrib = value.vt == VT_UI4 ? value.ulVal : 0;
  ClearProp(value);
  if (!(attrib & kAttribUnixExtension)) return 0;
  const uint32_t mode = attrib >> 16;
  const uint32_t type = mode & 0170000;
  if (type != 0 && type != 0100000) return 0;
  return mode & 0777;
}

void T7zInArchive::FinishPendingFile() {
  if (!pending_) return;
  if (pending_->mode != 0) platform::SetFileMode(pending_->path, pending_->mode);
  // A replaced read-only (hidden, system) file is made so again.
  if (pending_->oldAttributes != 0 && pending_->oldAttributes != platform::FILE_ATTRIBUTE_NORMAL)
    platform::SetFileAttributes(pending_->path, pending_->oldAttributes);
  pending_.reset();
}

// ---------------------------------------------------------------------------------------
// IUnknown.

HRESULT T7zInArchive::QueryInterface(const GUID& iid, void** out) {
  if (!out) return E_INVALIDARG;
  IUnknown* found = nullptr;
  if (iid == IID_IUnknown || iid == IID_I7zReader)
    found = static_cast<I7zReader*>(this);
  else if (iid == IID_IArchiveOpenCallback)
    found = static_cast<IArchiveOpenCallback*>(this);
  else if (iid == IID_IArchiveOpenVolumeCallback)
    found = static_cast<IArchiveOpenVolumeCallback*>(this);
  else if (iid == IID_IArchiveOpenSetSubArchiveName)
    found = static_cast<IArchiveOpenSetSubArchiveName*>(this);
  else if (iid == IID_ICryptoGetTextPassword)
    found = static_cast<ICryptoGetTextPassword*>(this);
  else if (iid == IID_IProgress || iid == IID_IArchiveExtractCallback)
    found = static_cast<IArchiveExtractCallback*>(this);
  *out = found;
  if (!found) return E_NOINTERFACE;
  found->AddRef();
  return S_OK;
}

// ---------------------------------------------------------------------------------------
// Callbacks while opening.

HRESULT T7zInArchive::SetTotal(const uint64_t*, const uint64_t*) { return S_OK; }
HRESULT T7zInArchive::SetCompleted(const uint64_t*, const uint64_t*) { return S_OK; }

// Multi-volume archives are not used: no property, no further volume.
HRESULT T7zInArchive::GetProperty(PROPID, PROPVARIANT*) { return S_OK; }
HRESULT T7zInArchive::GetStream(const wchar_t*, IInStream** inStream) {
  if (inStream) *inStream = nullptr;
  return S_OK;
}

HRESULT T7zInArchive::SetSubArchiveName(const wchar_t* name) {
  try {
    subArchiveName_ = name ? name : L"";
    subArchiveMode_ = true;
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

// Packages are not encrypted: no password is known.
HRESULT T7zInArchive::CryptoGetTextPassword(BSTR* password) {
  if (password) *password = nullptr;
  return S_FALSE;
}

// ---------------------------------------------------------------------------------------
// Callbacks while extracting.

HRESULT T7zInArchive::SetTotal(uint64_t total) {
  total_ = total;
  return S_OK;
}

HRESULT T7zInArchive::SetCompleted(const uint64_t* completeValue) {
  if (!completeValue || !OnProgress) return S_OK;
  try {
    return OnProgress(*completeValue, total_) ? S_OK : E_ABORT;
  } catch (...) {
    return E_ABORT;
  }
}

HRESULT T7zInArchive::GetStream(uint32_t index, ISequentialOutStream** outStream,
                                int32_t askExtractMode) {
  if (!outStream) return E_INVALIDARG;
  *outStream = nullptr;
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    FinishPendingFile();
    currentIndex_ = index;
    // Nothing more after a target that could not be created; the library then ends
    // Extract (it asks for the same item once more, to test it).
    if (createFailed_) return S_FALSE;
    if (askExtractMode != kExtract || extractDir_.empty()) return S_OK;
    // Directories are created as parents of files only.
    if (ItemIsDir(index)) return S_OK;

    const std::optional<std::string> item = ItemPath(index);
    if (!item || !IsSafeItemPath(*item)) {
      refusedPath_ = item.value_or("");
      return E_ABORT;
    }
    const std::string target = extractDir_ + *item;
    platform::ForceDirectories(ExtractFileDir(target));

    // 0: nothing there yet (or a folder, which the create below refuses).
    platform::DWORD oldAttributes = platform::GetFileAttributes(target);
    if (oldAttributes == platform::INVALID_FILE_ATTRIBUTES ||
        (oldAttributes & platform::FILE_ATTRIBUTE_DIRECTORY))
      oldAttributes = 0;
    if (oldAttributes != 0 && oldAttributes != platform::FILE_ATTRIBUTE_NORMAL)
      platform::SetFileAttributes(target, platform::FILE_ATTRIBUTE_NORMAL);

    std::unique_ptr<TFileStream> file;
    try {
      file = std::make_unique<TFileStream>(target, fmCreate);
    } catch (...) {
      // The file stays as it was, read-only included.
      if (oldAttributes != 0 && oldAttributes != platform::FILE_ATTRIBUTE_NORMAL)
        platform::SetFileAttributes(target, oldAttributes);
      createFailed_ = true;
      return S_FALSE;
    }
    auto* stream = new T7zStream(file.get(), TStreamOwnership::soOwned);
    file.release();
    // The reference handed out belongs to the library.
    stream->AddRef();
    *outStream = stream->AsOutStream();
    pending_ = TPendingFile{target, ItemPermissions(index), oldAttributes};
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT T7zInArchive::PrepareOperation(int32_t) { return S_OK; }

HRESULT T7zInArchive::SetOperationResult(int32_t opRes) {
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    // The library has released the item's stream by now, so the file is closed.
    FinishPendingFile();
    if (opRes != kOpOK && !firstFailure_) firstFailure_ = TItemFailure{currentIndex_, opRes};
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

// ---------------------------------------------------------------------------------------

TComPtr<I7zReader> NewInArchive(const GUID& formatId) {
  TComPtr<I7zReader> reader(new T7zInArchive(k7zLibraryName));
  reader->SetFormatId(formatId);
  return reader;
}
