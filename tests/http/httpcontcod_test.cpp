#include "http/httpcontcod.h"

#include <gtest/gtest.h>

#include <cctype>

namespace {

// Test codings: upper-cases its input; appends its letter when the body completes.
class THttpContentCodingUpper : public THttpContentCoding {
 public:
  using THttpContentCoding::THttpContentCoding;
  bool HasWriter() const override { return true; }
  void WriteBuffer(const void* buffer, int len) override {
    std::string s(static_cast<const char*>(buffer), len);
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    output_(s.data(), len);
  }
};

template <char Letter>
class TMarkCoding : public THttpContentCoding {
 public:
  using THttpContentCoding::THttpContentCoding;
  bool HasWriter() const override { return true; }
  void WriteBuffer(const void* buffer, int len) override { output_(buffer, len); }
  void Complete() override {
    const char c = Letter;
    output_(&c, 1);
  }
};

class TMarkClass : public TContentCodingClassOf<TMarkCoding<'A'>> {
 public:
  TMarkClass() : TContentCodingClassOf("TMarkClass") {}
  std::string GetCoding() const override { return "mark-a"; }
};
class TMarkBClass : public TContentCodingClassOf<TMarkCoding<'B'>> {
 public:
  TMarkBClass() : TContentCodingClassOf("TMarkBClass") {}
  std::string GetCoding() const override { return "mark-b"; }
};

// A coding without a writer of its own.
class THttpContentCodingMute : public THttpContentCoding {
 public:
  using THttpContentCoding::THttpContentCoding;
};

const TContentCodingClassOf<THttpContentCodingUpper> kUpper("THttpContentCodingUpper");
const TContentCodingClassOf<THttpContentCodingMute> kMute("THttpContentCodingMute");
const TMarkClass kMarkA;
const TMarkBClass kMarkB;

// Registers the test codings for the life of one test.
class Registered {
 public:
  Registered(std::initializer_list<const THttpContentCodingClass*> classes, float q = 1)
      : classes_(classes) {
    for (auto* c : classes_) TContCodingsList::Instance().Add(c, q);
  }
  ~Registered() {
    for (auto* c : classes_) TContCodingsList::Instance().Remove(c);
  }

 private:
  std::vector<const THttpContentCodingClass*> classes_;
};

struct Sink {
  TStream* stream = nullptr;
  std::string events;
  THttpContCodHandler handler{&stream, [this](const void* b, int n) {
                                events.append(static_cast<const char*>(b), n);
                              }};
};

TEST(ContentCodingRegistry, HoldsIdentityAndStarWithZeroQuality) {
  const TContCodingsList& list = TContCodingsList::Instance();
  ASSERT_GE(list.Count(), 2);
  EXPECT_EQ(list.Items(0).CodingClass->GetCoding(), "identity");
  EXPECT_EQ(list.Items(1).CodingClass->GetCoding(), "*");
  EXPECT_EQ(list.Items(0).Quality, 0);
  EXPECT_EQ(list.Items(1).Quality, 0);
}

TEST(ContentCodingRegistry, TokenComesFromClassNameOrMustBeOverridden) {
  EXPECT_EQ(kUpper.GetCoding(), "Upper");
  TContentCodingClassOf<THttpContentCodingUpper> misnamed("TMyDecoder");
  try {
    misnamed.GetCoding();
    FAIL() << "no exception";
  } catch (const EHttpContentCodingException& e) {
    EXPECT_EQ(e.Message(), "GetCoding must be overridden in TMyDecoder");
  }
}

TEST(AcceptText, EmptyUnlessCodingEnabled) {
  Sink s;
  s.handler.SetQualityWanted(true);
  EXPECT_EQ(s.handler.AcceptText(), "");
  s.handler.SetCodingEnabled(true);
  EXPECT_EQ(s.handler.AcceptText(), "identity;q=0, *;q=0");
  // Without qualities only codings with a quality above 0 are named.
  s.handler.SetQualityWanted(false);
  EXPECT_EQ(s.handler.AcceptText(), "");
}

TEST(AcceptText, QualitiesAndTheirFormat) {
  Registered r({&kUpper}, 0.3333f);
  Sink s;
  s.handler.SetCodingEnabled(true);
  EXPECT_EQ(s.handler.AcceptText(), "Upper");
  s.handler.SetQualityWanted(true);
  EXPECT_EQ(s.handler.AcceptText(), "identity;q=0, *;q=0, Upper;q=0.333");
  s.handler.SetItemQuality(0, 1);
  s.handler.SetItemQuality(1, 0.5f);
  EXPECT_EQ(s.handler.AcceptText(), "identity;q=1, *;q=0.5, Upper;q=0.333");
  // One usable coding left: no quality values.
  s.handler.SetItemEnabled(0, false);
  s.handler.SetItemEnabled(1, false);
  EXPECT_EQ(s.handler.AcceptText(), "Upper");
  s.handler.SetQualityWanted(false);
  s.handler.SetItemEnabled(0, true);
  EXPECT_EQ(s.handler.AcceptText(), "identity, Upper");
}

TEST(ContentCodingChain, DisabledCodingDeliversBodyUnchanged) {
  Registered r({&kUpper});
  Sink s;
  TStringStream stream;
  s.stream = &stream;
  EXPECT_TRUE(s.handler.Prepare("Upper"));
  s.handler.WriteBuffer("abc", 3);
  s.handler.Finish();
  EXPECT_EQ(stream.DataString(), "abc");
  EXPECT_EQ(s.events, "abc");
}

TEST(ContentCodingChain, UnknownOrWriterlessCodingIsRefused) {
  Registered r({&kUpper, &kMute});
  Sink s;
  s.handler.SetCodingEnabled(true);
  EXPECT_FALSE(s.handler.Prepare("Upper, gzip"));
  s.handler.WriteBuffer("abc", 3);
  EXPECT_FALSE(s.handler.Prepare("Mute"));
  s.handler.WriteBuffer("def", 3);
  EXPECT_EQ(s.events, "abcdef");
}

TEST(ContentCodingChain, DecodesLastListedFirstAndCompletesInThatOrder) {
  Registered r({&kUpper, &kMarkA, &kMarkB});
  Sink s;
  s.handler.SetCodingEnabled(true);
  ASSERT_TRUE(s.handler.Prepare("mark-a, UPPER ,mark-b"));
  s.handler.WriteBuffer("xy", 2);
  s.handler.Finish();
  // mark-b runs first, so its letter passes through the upper-casing; mark-a last.
  EXPECT_EQ(s.events, "XYBA");
  // The next response without a coding gets the plain path again.
  ASSERT_TRUE(s.handler.Prepare(""));
  s.handler.WriteBuffer("z", 1);
  EXPECT_EQ(s.events, "XYBAz");
}

TEST(ContentCodingChain, IdentityPassesThrough) {
  Sink s;
  s.handler.SetCodingEnabled(true);
  EXPECT_TRUE(s.handler.Prepare("identity"));
  s.handler.WriteBuffer("q", 1);
  EXPECT_EQ(s.events, "q");
}

TEST(ContentCodingChain, FollowsTheOwnersStreamVariable) {
  Sink s;
  TStringStream first, second;
  s.stream = &first;
  s.handler.Prepare("");
  s.handler.WriteBuffer("1", 1);
  s.stream = &second;
  s.handler.WriteBuffer("2", 1);
  s.stream = nullptr;
  s.handler.WriteBuffer("3", 1);
  EXPECT_EQ(first.DataString(), "1");
  EXPECT_EQ(second.DataString(), "2");
  EXPECT_EQ(s.events, "123");
}

}  // namespace
