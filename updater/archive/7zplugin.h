// The 7-Zip library loaded at run time: T7zPlugin holds the module and its object
// factory, T7zArchive adds the archive format to create handlers for.
#pragma once

#include <string>

#include "platform/process.h"
#include "updater/archive/interfaced.h"
#include "updater/archive/sevenzip.h"

// Name of the library, without a directory so that the platform's library search finds
// it (the executable's own folder first).
#ifdef _WIN32
constexpr const char* k7zLibraryName = "7z.dll";
#else
constexpr const char* k7zLibraryName = "7z.so";
#endif

class T7zPlugin : public TInterfacedObject {
 public:
  // Loads the library and checks that it is one. Raises Exception
  // "Error loading library %s" or "%s is not a 7z library"; the library is released
  // again when the object cannot be created.
  explicit T7zPlugin(const std::string& libraryName);
  ~T7zPlugin() override;

  const std::string& LibraryName() const { return libraryName_; }
  platform::HMODULE LibHandle() const { return libHandle_; }
  sevenzip::CreateObjectFunc CreateObjectProc() const { return createObjectProc_; }

 protected:
  // Frees what the library put into a property value (with the library's own
  // allocator) and empties it.
  void ClearProp(sevenzip::PROPVARIANT& value) const;

 private:
  std::string libraryName_;
  platform::HMODULE stringsHandle_ = nullptr;  // the system's string functions, where they are apart
  platform::HMODULE libHandle_ = nullptr;
  sevenzip::CreateObjectFunc createObjectProc_ = nullptr;
  sevenzip::VariantClearFunc variantClearProc_ = nullptr;
  sevenzip::SysFreeStringFunc sysFreeStringProc_ = nullptr;
};

class T7zArchive : public T7zPlugin {
 public:
  // Also requires the format library's handler-property export; raises Exception
  // "%s is not a Format library" without it.
  explicit T7zArchive(const std::string& libraryName);

  void* GetHandlerPropertyProc() const { return getHandlerPropertyProc_; }
  const sevenzip::GUID& FormatId() const { return formatId_; }
  void SetFormatId(const sevenzip::GUID& id) { formatId_ = id; }

 private:
  void* getHandlerPropertyProc_ = nullptr;
  sevenzip::GUID formatId_{};
};
