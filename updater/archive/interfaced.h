// Reference-counted interface objects: the counting base of our implementations of the
// library's interfaces, and a holder that owns one reference.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "updater/archive/sevenzip.h"

// An object lives while a reference to it exists and is destroyed when the last one is
// released. Subclasses forward IUnknown's AddRef/Release to IncRef/DecRef. The count is
// atomic because the library may take and drop references on its own threads.
class TInterfacedObject {
 public:
  TInterfacedObject(const TInterfacedObject&) = delete;
  TInterfacedObject& operator=(const TInterfacedObject&) = delete;
  uint32_t RefCount() const { return refCount_.load(); }

 protected:
  TInterfacedObject() = default;
  virtual ~TInterfacedObject() = default;
  uint32_t IncRef() { return refCount_.fetch_add(1) + 1; }
  uint32_t DecRef() {
    const uint32_t left = refCount_.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<uint32_t> refCount_{0};
};

// Holds one reference to an interface (anything with AddRef/Release), ours or the
// library's.
template <class T>
class TComPtr {
 public:
  TComPtr() = default;
  // Takes a new reference to p.
  SEVENZIP_CALLS_LIBRARY explicit TComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  TComPtr(const TComPtr& other) : TComPtr(other.p_) {}
  TComPtr(TComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ~TComPtr() { Reset(); }
  TComPtr& operator=(TComPtr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }

  // Adopts a reference that the caller already owns (an out parameter filled by the
  // library, for example).
  static TComPtr Attach(T* p) {
    TComPtr result;
    result.p_ = p;
    return result;
  }
  SEVENZIP_CALLS_LIBRARY void Reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};
