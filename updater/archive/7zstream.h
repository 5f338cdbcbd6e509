// Stream adapter: a TStream offered to the 7-Zip library as its input and output stream
// interfaces.
#pragma once

#include "base/classes.h"
#include "updater/archive/interfaced.h"
#include "updater/archive/sevenzip.h"

enum class TStreamOwnership { soReference, soOwned };

class T7zStream final : public TInterfacedObject,
                        public sevenzip::IInStream,
                        public sevenzip::IOutStream,
                        public sevenzip::IStreamGetSize,
                        public sevenzip::IOutStreamFinish {
 public:
  // An owned stream is freed with the adapter.
  T7zStream(TStream* stream, TStreamOwnership ownership);
  ~T7zStream() override;

  TStream* Stream() const { return stream_; }
  TStreamOwnership Ownership() const { return ownership_; }

  // IUnknown. Every method below answers with an HRESULT: nothing is thrown into the
  // library (an exception crossing its frames ends the process).
  sevenzip::HRESULT QueryInterface(const sevenzip::GUID& iid, void** out) override;
  uint32_t AddRef() override { return IncRef(); }
  uint32_t Release() override { return DecRef(); }

  // ISequentialInStream / IInStream.
  sevenzip::HRESULT Read(void* data, uint32_t size, uint32_t* processed) override;
  // IInStream / IOutStream. origin: 0 beginning, 1 current, 2 end.
  sevenzip::HRESULT Seek(int64_t offset, uint32_t origin, uint64_t* newPosition) override;
  // ISequentialOutStream / IOutStream.
  sevenzip::HRESULT Write(const void* data, uint32_t size, uint32_t* processed) override;
  sevenzip::HRESULT SetSize(uint64_t size) override;
  // IStreamGetSize.
  sevenzip::HRESULT GetSize(uint64_t* size) override;
  // IOutStreamFinish.
  sevenzip::HRESULT OutStreamFinish() override;

  // The pointers to hand to the library (each a different address under multiple
  // inheritance).
  sevenzip::IInStream* AsInStream() { return this; }
  sevenzip::ISequentialOutStream* AsOutStream() { return static_cast<sevenzip::IOutStream*>(this); }

 private:
  TStream* stream_;
  TStreamOwnership ownership_;
};
