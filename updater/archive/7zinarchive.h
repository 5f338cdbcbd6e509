// Reading an archive through the 7-Zip library: the reader interface the updater uses
// and T7zInArchive, which implements it and answers the library's callbacks.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/types.h"
#include "updater/archive/7zplugin.h"
#include "updater/archive/interfaced.h"
#include "updater/archive/sevenzip.h"

// Our own interface (not the library's); its operations raise exceptions.
struct I7zReader : sevenzip::IUnknown {
  virtual void SetFormatId(const sevenzip::GUID& id) = 0;
  // Opens the archive file for reading (shared with every other opener). Raises the file
  // stream's open error, or Exception with the system's message for the library's code
  // (code 1 when the file is not an archive of the format).
  virtual void OpenArchiveFile(const std::string& fileName) = 0;
  // Writes every file of the opened archive below dir; directories are created as the
  // parents of files only. Raises Exception when an item's path would leave dir, when a
  // target file cannot be created (after the files before it have been written), when the
  // library fails, or when any item's data turns out damaged.
  virtual void ExtractAllTo(const std::string& dir) = 0;
  // Writes the one file of the opened archive at itemPath (as the archive spells it)
  // below dir, under the same rules. False, and nothing written, when there is none.
  virtual bool ExtractItemTo(const std::string& itemPath, const std::string& dir) = 0;
};

constexpr sevenzip::GUID IID_I7zReader{
    0x6B0E4F27, 0x93A1, 0x4C5D, {0x8E, 0x21, 0x5F, 0x0A, 0x7C, 0x3B, 0x96, 0xD4}};

class T7zInArchive : public T7zArchive,
                     public I7zReader,
                     public sevenzip::IArchiveOpenCallback,
                     public sevenzip::IArchiveOpenVolumeCallback,
                     public sevenzip::IArchiveOpenSetSubArchiveName,
                     public sevenzip::ICryptoGetTextPassword,
                     public sevenzip::IArchiveExtractCallback {
 public:
  explicit T7zInArchive(const std::string& libraryName);
  ~T7zInArchive() override;

  // The handler, created on first use (nullptr before).
  sevenzip::IInArchive* InArchive() const { return inArchive_.Get(); }
  // Non-empty only while ExtractAllTo runs.
  const std::string& ExtractDir() const { return extractDir_; }
  const std::wstring& SubArchiveName() const { return subArchiveName_; }
  bool SubArchiveMode() const { return subArchiveMode_; }

  // Whether the library may decode on its own threads. Off by default: every callback
  // then runs on the caller's thread. Takes effect at the next OpenArchiveFile.
  bool UseLibraryThreads = false;
  // While extracting: the bytes unpacked so far and in all, as the library reports them,
  // from whichever thread it reports on. Answering false stops the extraction, which
  // then raises.
  std::function<bool(uint64_t done, uint64_t total)> OnProgress;

  // I7zReader.
  void SetFormatId(const sevenzip::GUID& id) override { T7zArchive::SetFormatId(id); }
  void OpenArchiveFile(const std::string& fileName) override;
  void ExtractAllTo(const std::string& dir) override;
  bool ExtractItemTo(const std::string& itemPath, const std::string& dir) override;

  // IUnknown, shared by every interface below. The library's callbacks never throw:
  // each catches everything and answers with an HRESULT.
  sevenzip::HRESULT QueryInterface(const sevenzip::GUID& iid, void** out) override;
  uint32_t AddRef() override { return IncRef(); }
  uint32_t Release() override { return DecRef(); }

  // IArchiveOpenCallback.
  sevenzip::HRESULT SetTotal(const uint64_t* files, const uint64_t* bytes) override;
  sevenzip::HRESULT SetCompleted(const uint64_t* files, const uint64_t* bytes) override;
  // IArchiveOpenVolumeCallback.
  sevenzip::HRESULT GetProperty(sevenzip::PROPID propID, sevenzip::PROPVARIANT* value) override;
  sevenzip::HRESULT GetStream(const wchar_t* name, sevenzip::IInStream** inStream) override;
  // IArchiveOpenSetSubArchiveName.
  sevenzip::HRESULT SetSubArchiveName(const wchar_t* name) override;
  // ICryptoGetTextPassword.
  sevenzip::HRESULT CryptoGetTextPassword(sevenzip::BSTR* password) override;
  // IProgress.
  sevenzip::HRESULT SetTotal(uint64_t total) override;
  sevenzip::HRESULT SetCompleted(const uint64_t* completeValue) override;
  // IArchiveExtractCallback.
  sevenzip::HRESULT GetStream(uint32_t index, sevenzip::ISequentialOutStream** outStream,
                              int32_t askExtractMode) override;
  sevenzip::HRESULT PrepareOperation(int32_t askExtractMode) override;
  sevenzip::HRESULT SetOperationResult(int32_t opRes) override;

 private:
  // A file handed to the library: its permission bits and remembered attributes are
  // applied once the library has finished with it.
  struct TPendingFile {
    std::string path;
    uint32_t mode = 0;             // permission bits from the archive, 0 for none
    platform::DWORD oldAttributes = 0;  // of the file it replaced, 0 when there was none
  };
  struct TItemFailure {
    uint32_t index = 0;
    int32_t result = 0;
  };

  sevenzip::IInArchive* EnsureInArchive();
  void KeepOnCallerThread();
  std::optional<std::string> ItemPath(uint32_t index);
  bool ItemIsDir(uint32_t index);
  uint32_t ItemPermissions(uint32_t index);
  void CheckItemPaths(const std::string& dir);
  // indices nullptr: every item.
  void ExtractItems(const uint32_t* indices, uint32_t count, const std::string& dir);
  void FinishPendingFile();

  TComPtr<sevenzip::IInArchive> inArchive_;
  bool opened_ = false;
  std::string extractDir_;
  std::wstring subArchiveName_;
  bool subArchiveMode_ = false;

  // Extraction state. GetStream, PrepareOperation and SetOperationResult never overlap,
  // but with library threads they may come from different threads one after another.
  std::mutex mutex_;
  uint32_t currentIndex_ = 0;
  std::optional<TPendingFile> pending_;
  bool createFailed_ = false;
  std::optional<std::string> refusedPath_;
  std::optional<TItemFailure> firstFailure_;
  std::atomic<uint64_t> total_{0};
};

// A reader for the named format of the 7-Zip library, holding one reference.
TComPtr<I7zReader> NewInArchive(const sevenzip::GUID& formatId);
