#include "net/netbuffer.h"

#include <gtest/gtest.h>

#include <string>

namespace {
std::string HeadBytes(const TNetBufferHandler& h) {
  const char* p = nullptr;
  int n = h.Peek(p);
  return n > 0 ? std::string(p, static_cast<size_t>(n)) : std::string();
}
}  // namespace

TEST(NetBuffer, BlockWritePeekRemove) {
  TNetBuffer b(0);
  EXPECT_EQ(b.Size(), 1460);
  TNetBuffer small(4);
  EXPECT_EQ(small.Write("abcdef", 1, 5), 4);
  EXPECT_EQ(small.Write("x", 0, 1), 0);  // full
  const char* p = nullptr;
  EXPECT_EQ(small.Peek(p), 4);
  EXPECT_EQ(std::string(p, 4), "bcde");
  EXPECT_EQ(small.Remove(3), 3);
  EXPECT_EQ(small.Remove(9), 1);
  const char* untouched = reinterpret_cast<const char*>(1);
  EXPECT_EQ(small.Peek(untouched), 0);
  EXPECT_EQ(untouched, reinterpret_cast<const char*>(1));
  EXPECT_EQ(small.Write("zz", 0, 2), 2);  // emptied block is writable from the start
  EXPECT_EQ(small.Available(), 2);
}

TEST(NetBufferHandler, WriteFillsBlocksInOrder) {
  TNetBufferHandler h(nullptr);
  std::string data(3000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
  h.Write(data.data(), 3000);
  ASSERT_EQ(h.InUse().Count(), 3);
  EXPECT_EQ(h.InUse().Head()->Available(), 1460);
  EXPECT_EQ(h.InUse().Tail()->Available(), 80);
  std::string drained;
  while (!h.IsEmpty()) {
    std::string head = HeadBytes(h);
    drained += head;
    h.Remove(static_cast<int>(head.size()));
  }
  EXPECT_EQ(drained, data);
  EXPECT_EQ(h.Spare().Count(), 3);
}

TEST(NetBufferHandler, PartialRemoveThenWriteAppendsBehind) {
  TNetBufferHandler h(nullptr);
  h.BufSize = 10;
  h.Write("abcdef", 6);
  h.Remove(4);
  h.Write("ghijkl", 6);  // 4 fit behind "ef" in the first block, 2 go to a new one
  EXPECT_EQ(HeadBytes(h), "efghij");
  EXPECT_EQ(h.InUse().Count(), 2);
  h.Remove(100);  // consumes the head block only
  EXPECT_EQ(HeadBytes(h), "kl");
  EXPECT_EQ(h.Spare().Count(), 1);
  h.Write("0123456789", 10);  // refills the tail, then reuses the spare block
  EXPECT_EQ(h.Spare().Count(), 0);
  EXPECT_EQ(h.InUse().Count(), 2);
}

TEST(NetBufferHandler, RemoveErrorsLeaveTheChainAlone) {
  TNetBufferHandler h(nullptr);
  try {
    h.Remove(1);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "TNetBufferHandler.Remove: nothing to remove");
  }
  h.Write("abc", 3);
  try {
    h.Remove(-1);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "TNetBufferHandler.Remove: Invalid Len -1");
  }
  EXPECT_EQ(HeadBytes(h), "abc");
}

TEST(NetBufferHandler, EmptyAfterClearAndAfterZeroWrite) {
  TNetBufferHandler h(nullptr);
  h.Write("x", 0);
  EXPECT_TRUE(h.IsEmpty());
  EXPECT_EQ(h.InUse().Count(), 1);
  h.Write("abc", 3);
  EXPECT_FALSE(h.IsEmpty());
  h.Clear();
  EXPECT_TRUE(h.IsEmpty());
  EXPECT_EQ(h.InUse().Count(), 0);
  h.Write("de", 2);
  EXPECT_EQ(HeadBytes(h), "de");  // a recycled block starts empty
}

TEST(NetBufferHandler, LockIsReentrant) {
  TNetBufferHandler h(nullptr);
  h.Lock();
  h.Lock();
  h.Write("a", 1);
  h.Unlock();
  h.Unlock();
  EXPECT_FALSE(h.IsEmpty());
}
