#include "updater/archive/7zplugin.h"

#include "base/sysutils.h"

T7zPlugin::T7zPlugin(const std::string& libraryName) : libraryName_(libraryName) {
  libHandle_ = platform::LoadLibrary(libraryName);
  if (!libHandle_) throw Exception(Format("Error loading library %s", libraryName.c_str()));
  createObjectProc_ = reinterpret_cast<sevenzip::CreateObjectFunc>(
      platform::GetProcAddress(libHandle_, "CreateObject"));
  if (!createObjectProc_) {
    // The destructor does not run for an object whose constructor raised.
    platform::FreeLibrary(libHandle_);
    throw Exception(Format("%s is not a 7z library", libraryName.c_str()));
  }
#ifdef _WIN32
  // On Windows the library's strings and variants are the system's (OLE automation).
  stringsHandle_ = platform::LoadLibrary("oleaut32.dll");
  platform::HMODULE strings = stringsHandle_;
#else
  platform::HMODULE strings = libHandle_;
#endif
  if (strings) {
    variantClearProc_ = reinterpret_cast<sevenzip::VariantClearFunc>(platform::GetProcAddress(strings, "VariantClear"));
    sysFreeStringProc_ =
        reinterpret_cast<sevenzip::SysFreeStringFunc>(platform::GetProcAddress(strings, "SysFreeString"));
  }
}

T7zPlugin::~T7zPlugin() {
  if (stringsHandle_) platform::FreeLibrary(stringsHandle_);
  platform::FreeLibrary(libHandle_);
}

void T7zPlugin::ClearProp(sevenzip::PROPVARIANT& value) const {
  if (variantClearProc_) {
    variantClearProc_(&value);
  } else if (value.vt == sevenzip::VT_BSTR && sysFreeStringProc_) {
    sysFreeStringProc_(value.bstrVal);
  }
  // Without either export a string is left to the library rather than freed by the
  // wrong allocator.
  value = sevenzip::PROPVARIANT{};
}

T7zArchive::T7zArchive(const std::string& libraryName) : T7zPlugin(libraryName) {
  // A format library exports its handler property reader as GetHandlerProperty, and with
  // a format index as GetHandlerProperty2 when it holds several formats; the library
  // installed on our systems has both. Either one identifies a format library.
  getHandlerPropertyProc_ = platform::GetProcAddress(LibHandle(), "GetHandlerProperty");
  if (!getHandlerPropertyProc_)
    getHandlerPropertyProc_ = platform::GetProcAddress(LibHandle(), "GetHandlerProperty2");
  if (!getHandlerPropertyProc_)
    throw Exception(Format("%s is not a Format library", libraryName.c_str()));
}
