#include "updater/extract_package.h"

#include "updater/archive/7zinarchive.h"

void ExtractPackage(const std::string& archivePath, const std::string& destination) {
  TComPtr<I7zReader> reader = NewInArchive(sevenzip::CLSID_Format7z);
  reader->OpenArchiveFile(archivePath);
  reader->ExtractAllTo(destination);
}

bool ExtractPackageItem(const std::string& archivePath, const std::string& itemPath, const std::string& destination) {
  TComPtr<I7zReader> reader = NewInArchive(sevenzip::CLSID_Format7z);
  reader->OpenArchiveFile(archivePath);
  return reader->ExtractItemTo(itemPath, destination);
}
