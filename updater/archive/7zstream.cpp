#include "updater/archive/7zstream.h"

#include <cstdint>

using namespace sevenzip;

T7zStream::T7zStream(TStream* stream, TStreamOwnership ownership)
    : stream_(stream), ownership_(ownership) {}

T7zStream::~T7zStream() {
  if (ownership_ == TStreamOwnership::soOwned) delete stream_;
}

HRESULT T7zStream::QueryInterface(const GUID& iid, void** out) {
  if (!out) return E_INVALIDARG;
  IUnknown* found = nullptr;
  if (iid == IID_IUnknown || iid == IID_ISequentialInStream || iid == IID_IInStream)
    found = static_cast<IInStream*>(this);
  else if (iid == IID_ISequentialOutStream || iid == IID_IOutStream)
    found = static_cast<IOutStream*>(this);
  else if (iid == IID_IStreamGetSize)
    found = static_cast<IStreamGetSize*>(this);
  else if (iid == IID_IOutStreamFinish)
    found = static_cast<IOutStreamFinish*>(this);
  *out = found;
  if (!found) return E_NOINTERFACE;
  found->AddRef();
  return S_OK;
}

HRESULT T7zStream::Read(void* data, uint32_t size, uint32_t* processed) {
  if (processed) *processed = 0;
  try {
    const int64_t n = stream_->Read(data, size);
    if (n < 0) return E_FAIL;
    if (processed) *processed = static_cast<uint32_t>(n);
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT T7zStream::Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) {
  if (origin > 2) return STG_E_INVALIDFUNCTION;
  try {
    if (origin == 1 && offset < 0 && stream_->Position() + offset < 0) return HRESULT_NEGATIVE_SEEK;
    if (origin == 0 && offset < 0) return HRESULT_NEGATIVE_SEEK;
    if (origin == 2 && offset < 0 && stream_->Size() + offset < 0) return HRESULT_NEGATIVE_SEEK;
    const int64_t pos = stream_->Seek(offset, static_cast<TSeekOrigin>(origin));
    if (pos < 0) return E_FAIL;
    if (newPosition) *newPosition = static_cast<uint64_t>(pos);
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT T7zStream::Write(const void* data, uint32_t size, uint32_t* processed) {
  if (processed) *processed = 0;
  try {
    const int64_t n = stream_->Write(data, size);
    if (n < 0) return E_FAIL;
    if (processed) *processed = static_cast<uint32_t>(n);
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT T7zStream::SetSize(uint64_t size) {
  if (size > static_cast<uint64_t>(INT64_MAX)) return E_INVALIDARG;
  try {
    stream_->SetSize(static_cast<int64_t>(size));
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT T7zStream::GetSize(uint64_t* size) {
  try {
    const int64_t n = stream_->Size();
    if (n < 0) return E_FAIL;
    if (size) *size = static_cast<uint64_t>(n);
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT T7zStream::OutStreamFinish() { return S_OK; }
