#include "updater/archive/7zstream.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace sevenzip;

namespace {

class TrackedStream : public TMemoryStream {
 public:
  explicit TrackedStream(bool* destroyed) : destroyed_(destroyed) {}
  ~TrackedStream() override { *destroyed_ = true; }

 private:
  bool* destroyed_;
};

class FailingStream : public TMemoryStream {
 public:
  int64_t Read(void*, int64_t) override { throw EReadError("Stream read error"); }
  int64_t Write(const void*, int64_t) override { throw EWriteError("Stream write error"); }
  int64_t Seek(int64_t, TSeekOrigin) override { throw EStreamError("no seeking"); }
  void SetSize(int64_t) override { throw EStreamError("no sizing"); }
};

TEST(T7zStreamTest, ReadsWritesSeeksAndSizesTheWrappedStream) {
  TMemoryStream memory;
  TComPtr<T7zStream> stream(new T7zStream(&memory, TStreamOwnership::soReference));
  uint32_t done = 99;
  ASSERT_EQ(stream->Write("hello world", 11, &done), S_OK);
  EXPECT_EQ(done, 11u);
  ASSERT_EQ(stream->Write("!", 1, nullptr), S_OK);

  uint64_t pos = 99;
  ASSERT_EQ(stream->Seek(-6, 2, &pos), S_OK);
  EXPECT_EQ(pos, 6u);
  char buf[16] = {};
  ASSERT_EQ(stream->Read(buf, sizeof buf, &done), S_OK);
  EXPECT_EQ(done, 6u);
  EXPECT_EQ(std::string(buf, done), "world!");
  // At the end: success with nothing read.
  ASSERT_EQ(stream->Read(buf, sizeof buf, &done), S_OK);
  EXPECT_EQ(done, 0u);

  ASSERT_EQ(stream->Seek(2, 0, nullptr), S_OK);
  ASSERT_EQ(stream->Seek(3, 1, &pos), S_OK);
  EXPECT_EQ(pos, 5u);
  ASSERT_EQ(stream->SetSize(5), S_OK);
  uint64_t size = 0;
  ASSERT_EQ(stream->GetSize(&size), S_OK);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(stream->OutStreamFinish(), S_OK);
}

TEST(T7zStreamTest, BadSeeksAreRefusedAndLeaveThePosition) {
  TMemoryStream memory;
  memory.Write("abcdef", 6);
  memory.SetPosition(3);
  TComPtr<T7zStream> stream(new T7zStream(&memory, TStreamOwnership::soReference));
  EXPECT_EQ(stream->Seek(0, 3, nullptr), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(stream->Seek(-4, 1, nullptr), HRESULT_NEGATIVE_SEEK);
  EXPECT_EQ(stream->Seek(-1, 0, nullptr), HRESULT_NEGATIVE_SEEK);
  EXPECT_EQ(stream->Seek(-7, 2, nullptr), HRESULT_NEGATIVE_SEEK);
  EXPECT_EQ(stream->SetSize(UINT64_MAX), E_INVALIDARG);
  EXPECT_EQ(memory.Position(), 3);
}

TEST(T7zStreamTest, ErrorsOfTheWrappedStreamBecomeResultCodes) {
  FailingStream failing;
  TComPtr<T7zStream> stream(new T7zStream(&failing, TStreamOwnership::soReference));
  char buf[4];
  uint32_t done = 7;
  EXPECT_EQ(stream->Read(buf, 4, &done), E_FAIL);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(stream->Write(buf, 4, &done), E_FAIL);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(stream->Seek(0, 0, nullptr), E_FAIL);
  EXPECT_EQ(stream->SetSize(1), E_FAIL);
}

TEST(T7zStreamTest, OwnedStreamIsFreedWithTheLastReference) {
  bool ownedGone = false, referencedGone = false;
  TrackedStream referenced(&referencedGone);
  {
    TComPtr<T7zStream> owned(new T7zStream(new TrackedStream(&ownedGone), TStreamOwnership::soOwned));
    TComPtr<T7zStream> ref(new T7zStream(&referenced, TStreamOwnership::soReference));
    void* in = nullptr;
    ASSERT_EQ(owned->QueryInterface(IID_IInStream, &in), S_OK);
    EXPECT_EQ(owned->RefCount(), 2u);
    static_cast<IInStream*>(in)->Release();
    EXPECT_FALSE(ownedGone);
  }
  EXPECT_TRUE(ownedGone);
  EXPECT_FALSE(referencedGone);
}

// Each interface has its own address inside the object; handing out `this` unconverted
// would send the library's calls to the wrong table.
TEST(T7zStreamTest, InterfacesAreHandedOutConverted) {
  TMemoryStream memory;
  TComPtr<T7zStream> stream(new T7zStream(&memory, TStreamOwnership::soReference));
  void* out = nullptr;
  ASSERT_EQ(stream->QueryInterface(IID_ISequentialOutStream, &out), S_OK);
  EXPECT_EQ(out, static_cast<ISequentialOutStream*>(stream->AsOutStream()));
  ASSERT_EQ(static_cast<ISequentialOutStream*>(out)->Write("xyz", 3, nullptr), S_OK);
  EXPECT_EQ(memory.Size(), 3);
  static_cast<ISequentialOutStream*>(out)->Release();

  void* none = &memory;
  EXPECT_EQ(stream->QueryInterface(IID_IInArchive, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(stream->RefCount(), 1u);
}

}  // namespace
