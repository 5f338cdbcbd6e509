#include "updater/extract_package.h"

#include "updater/archive/7zinarchive.h"

void ExtractPackage(const std::string& archivePath, const std::string& destination,
                    const std::function<bool(uint64_t done, uint64_t total)>& progress) {
  auto* archive = new T7zInArchive(k7zLibraryName);
  TComPtr<I7zReader> reader(static_cast<I7zReader*>(archive));
  // The library's own decoder threads unpack a package with independent blocks (any
  // made on a machine with more than one core) faster than one thread can; the
  // archive's callbacks are safe on them. Their buffers (60-70 MiB, as `7z x` needs) do
  // not grow with the package.
  archive->UseLibraryThreads = true;
  archive->OnProgress = progress;
  reader->SetFormatId(sevenzip::CLSID_Format7z);
  reader->OpenArchiveFile(archivePath);
  reader->ExtractAllTo(destination);
}

bool ExtractPackageItem(const std::string& archivePath, const std::string& itemPath, const std::string& destination) {
  TComPtr<I7zReader> reader = NewInArchive(sevenzip::CLSID_Format7z);
  reader->OpenArchiveFile(archivePath);
  return reader->ExtractItemTo(itemPath, destination);
}
