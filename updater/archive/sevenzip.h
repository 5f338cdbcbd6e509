// The 7-Zip library's binary interface as the loaded library expects it: identifiers,
// property values and the interfaces we call or implement.
//
// The declarations must match the library's vtables slot for slot. IUnknown has no
// virtual destructor in this build of the library: a destructor in any of these structs
// would shift every later method by two slots. Our implementation classes may add one,
// because new virtual functions are appended after the inherited slots.
//
// Kept in their own namespace: the library exports type information and functions under
// the plain names (IUnknown, VariantClear, ...), and nothing of ours may interpose them.
#pragma once

#include <cstdint>

// Marks code that calls methods of the library's objects. Their dynamic types are the
// library's own classes, which the sanitizer's vptr check cannot relate to our
// declarations of the same interfaces.
#if defined(__clang__) || defined(__GNUC__)
#define SEVENZIP_CALLS_LIBRARY __attribute__((no_sanitize("vptr")))
#else
#define SEVENZIP_CALLS_LIBRARY
#endif

namespace sevenzip {

using HRESULT = int32_t;
using PROPID = uint32_t;
using VARTYPE = uint16_t;
using BSTR = wchar_t*;  // 4-byte units on Linux; the byte length sits before the pointer

#ifndef _WIN32
// The library's wide strings are 32-bit units here (never build with -fshort-wchar).
static_assert(sizeof(wchar_t) == 4);
#endif

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT STG_E_INVALIDFUNCTION = static_cast<HRESULT>(0x80030001);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT HRESULT_NEGATIVE_SEEK = static_cast<HRESULT>(0x80070083);

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);

constexpr bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}

// {23170F69-40C1-278A-0000-00GG00SS0000}
constexpr GUID LibraryIid(uint8_t group, uint8_t sub) {
  return GUID{0x23170F69, 0x40C1, 0x278A, {0, 0, 0, group, 0, sub, 0, 0}};
}

constexpr GUID IID_IUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID IID_IProgress = LibraryIid(0x00, 0x05);
constexpr GUID IID_ISequentialInStream = LibraryIid(0x03, 0x01);
constexpr GUID IID_ISequentialOutStream = LibraryIid(0x03, 0x02);
constexpr GUID IID_IInStream = LibraryIid(0x03, 0x03);
constexpr GUID IID_IOutStream = LibraryIid(0x03, 0x04);
constexpr GUID IID_IStreamGetSize = LibraryIid(0x03, 0x06);
constexpr GUID IID_IOutStreamFinish = LibraryIid(0x03, 0x07);
constexpr GUID IID_ICryptoGetTextPassword = LibraryIid(0x05, 0x10);
constexpr GUID IID_ISetProperties = LibraryIid(0x06, 0x03);
constexpr GUID IID_IArchiveOpenCallback = LibraryIid(0x06, 0x10);
constexpr GUID IID_IArchiveExtractCallback = LibraryIid(0x06, 0x20);
constexpr GUID IID_IArchiveOpenVolumeCallback = LibraryIid(0x06, 0x30);
constexpr GUID IID_IArchiveOpenSetSubArchiveName = LibraryIid(0x06, 0x50);
constexpr GUID IID_IInArchive = LibraryIid(0x06, 0x60);

// Class id of the 7z format handler.
constexpr GUID CLSID_Format7z{0x23170F69, 0x40C1, 0x278A, {0x10, 0, 0, 0x01, 0x10, 0x07, 0, 0}};

// ---------------------------------------------------------------------------------------
// Property values.

constexpr VARTYPE VT_EMPTY = 0;
constexpr VARTYPE VT_BSTR = 8;
constexpr VARTYPE VT_BOOL = 11;
constexpr VARTYPE VT_UI4 = 19;
constexpr VARTYPE VT_UI8 = 21;

struct FILETIME {
  uint32_t dwLowDateTime;
  uint32_t dwHighDateTime;
};

struct PROPVARIANT {
  VARTYPE vt;
  uint16_t wReserved1;
  uint16_t wReserved2;
  uint16_t wReserved3;
  union {
    int16_t boolVal;  // VARIANT_TRUE is -1; test with != 0
    uint32_t ulVal;
    uint64_t uhVal;
    FILETIME filetime;
    BSTR bstrVal;
  };
};
static_assert(sizeof(PROPVARIANT) == 16);

constexpr PROPID kpidPath = 3;
constexpr PROPID kpidIsDir = 6;
constexpr PROPID kpidAttrib = 9;

// Attribute flag meaning "the high 16 bits hold POSIX st_mode".
constexpr uint32_t kAttribUnixExtension = 0x8000;

// Ask modes of GetStream / PrepareOperation.
constexpr int32_t kExtract = 0;
constexpr int32_t kTest = 1;
constexpr int32_t kSkip = 2;

// Results of SetOperationResult.
constexpr int32_t kOpOK = 0;

// ---------------------------------------------------------------------------------------
// Interfaces, in the library's slot order. No destructors (see above).

struct IUnknown {
  virtual HRESULT QueryInterface(const GUID& iid, void** out) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;
};

struct ISequentialInStream : IUnknown {
  virtual HRESULT Read(void* data, uint32_t size, uint32_t* processed) = 0;
};

struct IInStream : ISequentialInStream {
  virtual HRESULT Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) = 0;
};

struct ISequentialOutStream : IUnknown {
  virtual HRESULT Write(const void* data, uint32_t size, uint32_t* processed) = 0;
};

struct IOutStream : ISequentialOutStream {
  virtual HRESULT Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) = 0;
  virtual HRESULT SetSize(uint64_t size) = 0;
};

struct IStreamGetSize : IUnknown {
  virtual HRESULT GetSize(uint64_t* size) = 0;
};

struct IOutStreamFinish : IUnknown {
  virtual HRESULT OutStreamFinish() = 0;
};

struct IProgress : IUnknown {
  virtual HRESULT SetTotal(uint64_t total) = 0;
  virtual HRESULT SetCompleted(const uint64_t* completeValue) = 0;
};

struct ICryptoGetTextPassword : IUnknown {
  virtual HRESULT CryptoGetTextPassword(BSTR* password) = 0;
};

struct ISetProperties : IUnknown {
  virtual HRESULT SetProperties(const wchar_t* const* names, const PROPVARIANT* values,
                                uint32_t count) = 0;
};

struct IArchiveOpenCallback : IUnknown {
  virtual HRESULT SetTotal(const uint64_t* files, const uint64_t* bytes) = 0;
  virtual HRESULT SetCompleted(const uint64_t* files, const uint64_t* bytes) = 0;
};

struct IArchiveExtractCallback : IProgress {
  virtual HRESULT GetStream(uint32_t index, ISequentialOutStream** outStream,
                            int32_t askExtractMode) = 0;
  virtual HRESULT PrepareOperation(int32_t askExtractMode) = 0;
  virtual HRESULT SetOperationResult(int32_t opRes) = 0;
};

struct IArchiveOpenVolumeCallback : IUnknown {
  virtual HRESULT GetProperty(PROPID propID, PROPVARIANT* value) = 0;
  virtual HRESULT GetStream(const wchar_t* name, IInStream** inStream) = 0;
};

struct IArchiveOpenSetSubArchiveName : IUnknown {
  virtual HRESULT SetSubArchiveName(const wchar_t* name) = 0;
};

struct IInArchive : IUnknown {
  virtual HRESULT Open(IInStream* stream, const uint64_t* maxCheckStartPosition,
                       IArchiveOpenCallback* openCallback) = 0;
  virtual HRESULT Close() = 0;
  virtual HRESULT GetNumberOfItems(uint32_t* numItems) = 0;
  virtual HRESULT GetProperty(uint32_t index, PROPID propID, PROPVARIANT* value) = 0;
  virtual HRESULT Extract(const uint32_t* indices, uint32_t numItems, int32_t testMode,
                          IArchiveExtractCallback* extractCallback) = 0;
  virtual HRESULT GetArchiveProperty(PROPID propID, PROPVARIANT* value) = 0;
  virtual HRESULT GetNumberOfProperties(uint32_t* numProps) = 0;
  virtual HRESULT GetPropertyInfo(uint32_t index, BSTR* name, PROPID* propID,
                                  VARTYPE* varType) = 0;
  virtual HRESULT GetNumberOfArchiveProperties(uint32_t* numProps) = 0;
  virtual HRESULT GetArchivePropertyInfo(uint32_t index, BSTR* name, PROPID* propID,
                                         VARTYPE* varType) = 0;
};

// Exports of the library.
using CreateObjectFunc = HRESULT (*)(const GUID* clsid, const GUID* iid, void** out);
using VariantClearFunc = HRESULT (*)(PROPVARIANT* value);
using SysFreeStringFunc = void (*)(BSTR value);

}  // namespace sevenzip
