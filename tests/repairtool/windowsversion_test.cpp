#include <gtest/gtest.h>

#include "base/sysutils.h"
#include "platform/process.h"
#include "repairtool/form1.h"

namespace {

struct Case {
  platform::DWORD id, major, minor;
  const char* name;
};

// Every row of the table, with the boundaries next to them.
const Case kCases[] = {
    {0, 3, 10, "32"},        {0, 6, 1, "32"},        {1, 4, 0, "95"},         {1, 4, 10, "98"},
    {1, 4, 1, "98"},         {1, 4, 90, "Me"},       {1, 4, 9, "Me"},         {1, 4, 3, "9x"},
    {1, 5, 0, "9x"},         {2, 3, 51, "NT 3.51"},  {2, 3, 5, ""},           {2, 4, 0, "NT 4.0"},
    {2, 5, 0, "2000"},       {2, 5, 1, "XP"},        {2, 5, 10, "XP"},        {2, 5, 2, "2003"},
    {2, 6, 0, "Vista"},      {2, 6, 1, "W7"},        {2, 6, 2, ""},           {2, 10, 0, ""},
    {2, 6, 11, ""},          {3, 6, 1, "??"},        {platform::VER_PLATFORM_LINUX, 6, 1, "??"},
};

}  // namespace

TEST(NameWindowsVersionTest, NamesEveryVersionOfTheTable) {
  for (const Case& c : kCases) {
    EXPECT_EQ(NameWindowsVersion(c.id, c.major, c.minor), c.name)
        << "platform " << c.id << ", version " << c.major << "." << c.minor;
  }
}

TEST(NameWindowsVersionTest, TheDecimalSeparatorDoesNotChangeTheName) {
  const char old = DecimalSeparator;
  DecimalSeparator = ',';
  EXPECT_EQ(NameWindowsVersion(2, 6, 1), "W7");
  EXPECT_EQ(NameWindowsVersion(1, 4, 10), "98");
  EXPECT_EQ(NameWindowsVersion(2, 3, 51), "NT 3.51");
  DecimalSeparator = old;
}

TEST(NameWindowsVersionTest, ThisSystemIsOutsideTheWindowsFamilies) {
  EXPECT_EQ(NameWindowsVersion(), "??");
}
