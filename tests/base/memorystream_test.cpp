#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "base/classes.h"

namespace {

std::string ReadAll(TStream& s) {
  std::string out(static_cast<size_t>(s.Size()), '\0');
  s.SetPosition(0);
  s.ReadBuffer(out.data(), s.Size());
  return out;
}

// A stream that only implements the four primitives, to exercise the defaults of
// TStream against something other than a memory stream.
class TPlainStream : public TStream {
 public:
  explicit TPlainStream(std::string data) : data_(std::move(data)) {}
  int64_t Read(void* buffer, int64_t count) override {
    const int64_t n = std::max<int64_t>(0, std::min<int64_t>(count, Length() - pos_));
    std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
    pos_ += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }  // read-only
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    pos_ = (origin == TSeekOrigin::soBeginning ? 0
            : origin == TSeekOrigin::soCurrent ? pos_
                                               : Length()) + offset;
    return pos_;
  }
  void SetSize(int64_t) override {}

 private:
  int64_t Length() const { return static_cast<int64_t>(data_.size()); }
  std::string data_;
  int64_t pos_ = 0;
};

TEST(MemoryStream, ReadsWritesAndSeeks) {
  TMemoryStream s;
  s.WriteBuffer("hello world", 11);
  EXPECT_EQ(s.Size(), 11);
  EXPECT_EQ(s.Position(), 11);
  EXPECT_EQ(s.Seek(-5, TSeekOrigin::soEnd), 6);
  s.WriteBuffer("WORLD!", 6);  // overwrite and extend
  EXPECT_EQ(ReadAll(s), "hello WORLD!");
  EXPECT_EQ(s.Seek(-6, TSeekOrigin::soCurrent), 6);
  char buf[16] = {};
  EXPECT_EQ(s.Read(buf, 100), 6);  // fewer at the end
  EXPECT_STREQ(buf, "WORLD!");
  EXPECT_EQ(s.Read(buf, 1), 0);
  EXPECT_EQ(std::string(s.Memory(), 5), "hello");
}

TEST(MemoryStream, WritingPastTheEndFillsWithZeros) {
  TMemoryStream s;
  s.SetPosition(4);
  char buf[4];
  EXPECT_EQ(s.Read(buf, 4), 0);
  s.WriteBuffer("x", 1);
  EXPECT_EQ(ReadAll(s), std::string("\0\0\0\0x", 5));
}

TEST(MemoryStream, SetSizeAndClear) {
  TMemoryStream s;
  s.WriteBuffer("abcdef", 6);
  s.SetSize(3);
  EXPECT_EQ(s.Position(), 3);  // pulled back to the new end
  s.SetSize(5);
  EXPECT_EQ(ReadAll(s), std::string("abc\0\0", 5));
  EXPECT_THROW(s.SetSize(-1), EStreamError);
  s.Clear();
  EXPECT_EQ(s.Size(), 0);
  EXPECT_EQ(s.Position(), 0);
}

TEST(MemoryStream, BufferCallsAreAllOrAnError) {
  TMemoryStream s;
  s.WriteBuffer("abc", 3);
  s.SetPosition(1);
  char buf[8];
  try {
    s.ReadBuffer(buf, 3);
    FAIL();
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), "Stream read error");
  }
  s.SetPosition(-1);  // before the start: nothing moves
  EXPECT_EQ(s.Write("z", 1), 0);
  try {
    s.WriteBuffer("z", 1);
    FAIL();
  } catch (const EWriteError& e) {
    EXPECT_EQ(e.Message(), "Stream write error");
  }
  EXPECT_EQ(s.Read(buf, 1), 0);
  EXPECT_EQ(ReadAll(s), "abc");
  s.ReadBuffer(buf, 0);  // nothing asked, nothing to fail
  TPlainStream readOnly("x");
  EXPECT_THROW(readOnly.WriteBuffer("y", 1), EWriteError);
}

TEST(MemoryStream, CopyFrom) {
  std::string big(200000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
  TPlainStream source(big);
  EXPECT_EQ(source.Size(), 200000);  // the default keeps the position
  source.SetPosition(big.size());
  TMemoryStream target;
  // Count 0: the whole source, from its start, whatever its position.
  EXPECT_EQ(target.CopyFrom(&source, 0), 200000);
  EXPECT_EQ(target.Size(), 200000);
  EXPECT_EQ(ReadAll(target), big);

  source.SetPosition(10);
  TMemoryStream part;
  EXPECT_EQ(part.CopyFrom(&source, 5), 5);
  EXPECT_EQ(ReadAll(part), big.substr(10, 5));
  EXPECT_EQ(source.Position(), 15);

  source.SetPosition(big.size() - 3);
  EXPECT_THROW(part.CopyFrom(&source, 4), EReadError);

  TMemoryStream empty;
  EXPECT_EQ(part.CopyFrom(&empty, 0), 0);
}

TEST(StringStream, StartsWithItsTextAtPositionZero) {
  TStringStream s("20240301");
  EXPECT_EQ(s.Position(), 0);
  EXPECT_EQ(s.Size(), 8);
  s.WriteBuffer("1999", 4);
  EXPECT_EQ(s.DataString(), "19990301");
  s.Seek(0, TSeekOrigin::soEnd);
  s.WriteBuffer("\r\n", 2);
  EXPECT_EQ(s.DataString(), "19990301\r\n");
  EXPECT_STREQ(s.ClassName(), "TStringStream");
}

}  // namespace
