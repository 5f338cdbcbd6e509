#include <gtest/gtest.h>

#include "base/classes.h"

namespace {

std::string IndexErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EStringListError& e) {
    return e.Message();
  }
  return "no error";
}

TEST(StringList, IndexesOutsideTheListRaise) {
  TStringList list;
  EXPECT_EQ(list.Add("a"), 0);
  EXPECT_EQ(list.Add("b"), 1);
  EXPECT_EQ(IndexErrorOf([&] { (void)list[2]; }), "List index out of bounds (2)");
  EXPECT_EQ(IndexErrorOf([&] { (void)list.Strings(-1); }), "List index out of bounds (-1)");
  EXPECT_EQ(IndexErrorOf([&] { list.Put(5, "x"); }), "List index out of bounds (5)");
  EXPECT_EQ(IndexErrorOf([&] { list.Delete(2); }), "List index out of bounds (2)");
  EXPECT_EQ(IndexErrorOf([&] { list.Insert(3, "x"); }), "List index out of bounds (3)");
  list.Insert(2, "c");  // at the end
  list.Insert(0, "z");
  list.Put(1, "A");
  list.Delete(2);
  EXPECT_EQ(list.Items(), (std::vector<std::string>{"z", "A", "c"}));
  TStringList copy;
  copy.Assign(list);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(copy.Count(), 3);
}

TEST(StringList, LookupsIgnoreCase) {
  TStringList list;
  list.Add("App.exe");
  list.Add("Data=bin\\data.dll");
  list.Add("key=a=b");
  list.Add("noequals");
  EXPECT_EQ(list.IndexOf("APP.EXE"), 0);
  EXPECT_EQ(list.IndexOf("app"), -1);
  EXPECT_EQ(list.IndexOfName("data"), 1);
  EXPECT_EQ(list.IndexOfName("noequals"), -1);
  EXPECT_EQ(list.Names(1), "Data");
  EXPECT_EQ(list.Names(3), "");
  EXPECT_EQ(list.Values("DATA"), "bin\\data.dll");
  EXPECT_EQ(list.Values("Key"), "a=b");
  EXPECT_EQ(list.Values("missing"), "");
}

TEST(StringList, TextSplitsAtLineFeedsAndJoinsWithTheNativeBreak) {
  TStringList list;
  list.SetText("a\r\nb\n\nc\r\n");
  EXPECT_EQ(list.Items(), (std::vector<std::string>{"a", "b", "", "c"}));
  EXPECT_EQ(list.Text(), "a\nb\n\nc\n");
  list.SetText("last\r");  // a CR without LF is text
  EXPECT_EQ(list.Items(), (std::vector<std::string>{"last\r"}));
  list.SetText("x\r\r\ny");
  EXPECT_EQ(list.Items(), (std::vector<std::string>{"x\r", "y"}));
  list.SetText("");
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Text(), "");
  list.SetText("\n");
  EXPECT_EQ(list.Items(), (std::vector<std::string>{""}));
}

}  // namespace
