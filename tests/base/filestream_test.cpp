#include <gtest/gtest.h>

#include <string>

#include "base/classes.h"
#include "tests/base/testdir.h"

namespace {

TEST(FileStream, CreateWriteReopenRead) {
  TestDir dir;
  const std::string path = dir / "rjsj.7z";
  {
    TFileStream out(path, fmCreate);
    EXPECT_EQ(out.FileName(), path);
    out.WriteBuffer("0123456789", 10);
    out.Seek(4, TSeekOrigin::soBeginning);
    out.WriteBuffer("xy", 2);  // writes land at the position
    EXPECT_EQ(out.Size(), 10);
    EXPECT_EQ(out.Position(), 6);
  }
  EXPECT_EQ(TestDir::Contents(path), "0123xy6789");
  TFileStream in(path, fmOpenRead | fmShareDenyWrite);
  char buf[16] = {};
  EXPECT_EQ(in.Seek(-3, TSeekOrigin::soEnd), 7);
  EXPECT_EQ(in.Read(buf, 16), 3);
  EXPECT_STREQ(buf, "789");
  EXPECT_EQ(in.Read(buf, 16), 0);
  EXPECT_THROW(in.ReadBuffer(buf, 1), EReadError);
}

TEST(FileStream, CreateEmptiesAnExistingFile) {
  TestDir dir;
  const std::string path = dir / "old.bin";
  TestDir::Put(path, "previous content");
  {
    TFileStream out(path, fmCreate);
    EXPECT_EQ(out.Size(), 0);
    out.WriteBuffer("new", 3);
  }
  EXPECT_EQ(TestDir::Contents(path), "new");
}

TEST(FileStream, FailuresNameThePathAndTheReason) {
  TestDir dir;
  const std::string missing = dir / "nothing-here.bin";
  try {
    TFileStream in(missing, fmOpenRead);
    FAIL();
  } catch (const EFOpenError& e) {
    const std::string prefix = "Cannot open file \"" + missing + "\". ";
    EXPECT_EQ(e.Message().substr(0, prefix.size()), prefix);
    EXPECT_GT(e.Message().size(), prefix.size());  // the system's reason follows
  }
  const std::string noDir = dir / "tmp/rjsj.7z";
  try {
    TFileStream out(noDir, fmCreate);
    FAIL();
  } catch (const EFCreateError& e) {
    const std::string prefix = "Cannot create file \"" + noDir + "\". ";
    EXPECT_EQ(e.Message().substr(0, prefix.size()), prefix);
    EXPECT_GT(e.Message().size(), prefix.size());
    EXPECT_STREQ(e.ClassName(), "EFCreateError");
  }
}

TEST(FileStream, CreateModeHoldsTheFileExclusively) {
  TestDir dir;
  const std::string path = dir / "held.bin";
  TFileStream first(path, fmCreate);
  first.WriteBuffer("data", 4);
  EXPECT_THROW({ TFileStream again(path, fmCreate); }, EFCreateError);
  EXPECT_THROW({ TFileStream reader(path, fmOpenRead | fmShareDenyNone); }, EFOpenError);
}

TEST(FileStream, SharedReadersMayOpenTogether) {
  TestDir dir;
  const std::string path = dir / "shared.bin";
  TestDir::Put(path, "abc");
  TFileStream a(path, fmOpenRead | fmShareDenyWrite);
  TFileStream b(path, fmOpenRead | fmShareDenyWrite);
  char x, y;
  a.ReadBuffer(&x, 1);
  b.ReadBuffer(&y, 1);
  EXPECT_EQ(x, 'a');
  EXPECT_EQ(y, 'a');
}

TEST(FileStream, SetSizeTruncatesAndKeepsThePositionInside) {
  TestDir dir;
  const std::string path = dir / "sized.bin";
  {
    TFileStream f(path, fmCreate);
    f.WriteBuffer("0123456789", 10);
    f.SetSize(4);
    EXPECT_EQ(f.Size(), 4);
    EXPECT_EQ(f.Position(), 4);
    f.SetPosition(1);
    f.SetSize(8);  // grows with zeros, the position stays
    EXPECT_EQ(f.Position(), 1);
    EXPECT_THROW(f.SetSize(-1), EStreamError);
  }
  EXPECT_EQ(TestDir::Contents(path), std::string("0123\0\0\0\0", 8));
}

TEST(FileStream, MemoryStreamLoadsAndSavesFiles) {
  TestDir dir;
  const std::string path = dir / "blob.bin";
  const std::string binary("\0\x01\xff text\r\n", 10);
  TMemoryStream m;
  m.WriteBuffer(binary.data(), static_cast<int64_t>(binary.size()));
  m.SaveToFile(path);
  EXPECT_EQ(TestDir::Contents(path), binary);
  TMemoryStream loaded;
  loaded.WriteBuffer("junk", 4);
  loaded.LoadFromFile(path);
  EXPECT_EQ(loaded.Position(), 0);
  EXPECT_EQ(std::string(loaded.Memory(), static_cast<size_t>(loaded.Size())), binary);
  EXPECT_THROW(loaded.LoadFromFile(dir / "missing"), EFOpenError);
  EXPECT_EQ(loaded.Size(), static_cast<int64_t>(binary.size()));  // unchanged on failure
}

TEST(FileStream, CopyFromAFile) {
  TestDir dir;
  const std::string path = dir / "source.bin";
  std::string data(150000, 'q');
  data[0] = 'A';
  data[149999] = 'Z';
  TestDir::Put(path, data);
  TFileStream in(path, fmOpenRead);
  in.SetPosition(100);
  TStringStream out;
  EXPECT_EQ(out.CopyFrom(&in, 0), 150000);
  EXPECT_EQ(out.DataString(), data);
}

}  // namespace
