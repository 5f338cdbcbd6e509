#include "base/inifiles.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "tests/base/testdir.h"

namespace {

using Names = std::vector<std::string>;

TEST(IniFile, MissingFileReadsAsDefaults) {
  TestDir dir;
  const TIniFile ini(dir / "更新记录.ini");
  EXPECT_EQ(ini.ReadString("设置", "软件类别", "0"), "0");
  EXPECT_EQ(ini.ReadInteger("更新日期", "app.exe", 0), 0);
  EXPECT_EQ(ini.ReadFloat("设置", "更新日期", 0), 0);
  EXPECT_TRUE(ini.ReadBool("x", "y", true));
  TStringList keys;
  keys.Add("stale");
  ini.ReadSection("file", &keys);
  EXPECT_EQ(keys.Count(), 0);
  EXPECT_FALSE(ini.SectionExists("file"));
}

TEST(IniFile, WritesAreReadBack) {
  TestDir dir;
  TIniFile ini(dir / "更新记录.ini");
  ini.WriteString("设置", "检测更新日期", "20240301");
  ini.WriteInteger("更新日期", "app.exe", 20240215);
  EXPECT_EQ(ini.ReadString("设置", "检测更新日期", "0"), "20240301");
  EXPECT_EQ(ini.ReadInteger("更新日期", "APP.EXE", 0), 20240215);
  EXPECT_EQ(ini.ReadFloat("设置", "检测更新日期", 0), 20240301.0);
  EXPECT_TRUE(ini.ValueExists("设置", "检测更新日期"));
  EXPECT_FALSE(ini.ValueExists("设置", "更新日期"));
#ifndef _WIN32
  // Windows writes a new file in its ANSI code page (its own tests check the bytes).
  const std::string text = TestDir::Contents(ini.FileName());
  EXPECT_NE(text.find("检测更新日期=20240301"), std::string::npos);
#endif
}

TEST(IniFile, IntegersTakeHexInBothSpellings) {
  TestDir dir;
  TIniFile ini(dir / "list.ini");
  const std::vector<std::pair<std::string, int>> cases = {
      {"0x10", 16}, {"0X1f", 31}, {"$10", 16},   {"-12", -12}, {"20240301", 20240301},
      {"0x", -1},   {"0xg", -1},  {"abc", -1},   {"", -1},     {"2147483648", -1},
      {"12.5", -1}, {"1e3", -1},  {"-0x10", -1}, {"0", 0}};
  for (const auto& [text, expected] : cases) {
    ini.WriteString("文件更新日期", "k", text);
    EXPECT_EQ(ini.ReadInteger("文件更新日期", "k", -1), expected) << '"' << text << '"';
  }
  ini.WriteString("b", "on", "1");
  ini.WriteString("b", "off", "0");
  EXPECT_TRUE(ini.ReadBool("b", "on", false));
  EXPECT_FALSE(ini.ReadBool("b", "off", true));
}

TEST(IniFile, FloatsFallBackToTheDefault) {
  TestDir dir;
  TIniFile ini(dir / "更新记录.ini");
  ini.WriteString("设置", "更新日期", "20240301");
  EXPECT_EQ(ini.ReadFloat("设置", "更新日期", 0), 20240301.0);
  EXPECT_EQ(ini.ReadString("设置", "更新日期", "0"), "20240301");
  for (const char* bad : {"", "abc", "2024-03-01", "1e"}) {
    ini.WriteString("设置", "更新日期", bad);
    EXPECT_EQ(ini.ReadFloat("设置", "更新日期", 0), 0) << '"' << bad << '"';
  }
}

TEST(IniFile, FailedWriteNamesTheFile) {
  TestDir dir;
  const std::string path = dir / "升级/更新记录.ini";  // the directory does not exist
  TIniFile ini(path);
  try {
    ini.WriteString("设置", "检测更新日期", "20240301");
    FAIL();
  } catch (const EIniFileException& e) {
    EXPECT_EQ(e.Message(), "写 " + path + " 失败");
  }
  EXPECT_THROW(ini.WriteInteger("a", "b", 1), EIniFileException);
}

TEST(IniFile, TellsAheadWhatAWriteWouldRefuse) {
  TestDir dir;
  TIniFile ini(dir / "更新记录.ini");
  EXPECT_TRUE(TIniFile::IsWritable("更新日期", "bin\\app.exe", "20240301"));
  EXPECT_TRUE(TIniFile::IsWritable("s", "  padded  ", "a=b; c"));
  const std::string nul("a\0b", 3);
  for (const auto& [section, key, value] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"s", "a\rb", "1"}, {"s", "a\nb", "1"}, {"s", "k", "1\r2"}, {"s", "k=v", "1"}, {"s", ";k", "1"},
           {"s", "[k", "1"}, {"s", "  ", "1"}, {"s]", "k", "1"}, {"a\nb", "k", "1"}, {"s", nul, "1"},
           {"s", "k", nul}, {nul, "k", "1"}}) {
    EXPECT_FALSE(TIniFile::IsWritable(section, key, value)) << key;
    // And the write itself refuses it, rather than writing something else.
    EXPECT_THROW(ini.WriteString(section, key, value), EIniFileException) << key;
  }
  EXPECT_TRUE(TestDir::Contents(ini.FileName()).empty()) << "nothing was written";
}

TEST(IniFile, SectionsListKeysInFileOrderAndErase) {
  TestDir dir;
  const std::string path = dir / "list.ini";
  TestDir::Put(path,
               "[file]\napp.exe=app.exe\ndata.dll=bin\\data.dll\n"
               "[文件更新日期]\napp.exe=20240301\n"
               "[更新日期]\n更新日期=20240301\n");
  TIniFile ini(path);
  TStringList keys;
  ini.ReadSection("FILE", &keys);
  EXPECT_EQ(keys.Items(), (Names{"app.exe", "data.dll"}));
  TStringList sections;
  ini.ReadSections(&sections);
  EXPECT_EQ(sections.Items(), (Names{"file", "文件更新日期", "更新日期"}));
  EXPECT_EQ(ini.ReadString("file", "data.dll", ""), "bin\\data.dll");

  ini.EraseSection("file");
  ini.ReadSection("file", &keys);
  EXPECT_EQ(keys.Count(), 0);
  EXPECT_FALSE(ini.SectionExists("file"));
  EXPECT_TRUE(ini.SectionExists("更新日期"));
  EXPECT_EQ(ini.ReadInteger("文件更新日期", "app.exe", 1), 20240301);

  ini.DeleteKey("文件更新日期", "app.exe");
  EXPECT_EQ(ini.ReadInteger("文件更新日期", "app.exe", 1), 1);
}

TEST(IniFile, KeyListingStopsAt16KiBOfNames) {
  TestDir dir;
  const std::string path = dir / "list.ini";
  std::string text = "[file]\n";
  Names all;
  for (int i = 0; i < 1000; ++i) {
    all.push_back(Format("file-number-%04d.dat", i));  // 20 bytes, 21 listed
    text += all.back() + "=x\n";
  }
  TestDir::Put(path, text);
  TIniFile ini(path);
  TStringList keys;
  ini.ReadSection("file", &keys);
  ASSERT_GT(keys.Count(), 700);
  ASSERT_LT(keys.Count(), 1000);
  size_t bytes = 0;
  for (int i = 0; i < keys.Count(); ++i) {
    bytes += keys[i].size() + 1;
    // Whole names in order; only the last one may be cut short.
    if (i + 1 < keys.Count()) {
      EXPECT_EQ(keys[i], all[static_cast<size_t>(i)]);
    } else {
      EXPECT_EQ(all[static_cast<size_t>(i)].rfind(keys[i], 0), 0u);
    }
  }
  EXPECT_LE(bytes, 16384u);
}

TEST(IniFile, SectionNamesAreNotLimited) {
  TestDir dir;
  const std::string path = dir / "many.ini";
  std::string text;
  for (int i = 0; i < 1500; ++i) text += Format("[section-number-%04d]\nk=v\n", i);
  TestDir::Put(path, text);
  TStringList sections;
  TIniFile(path).ReadSections(&sections);
  ASSERT_EQ(sections.Count(), 1500);
  EXPECT_EQ(sections[1499], "section-number-1499");
}

TEST(IniFile, LongValuesAreCut) {
  TestDir dir;
  TIniFile ini(dir / "long.ini");
  ini.WriteString("s", "k", std::string(3000, 'v'));
  EXPECT_EQ(ini.ReadString("s", "k", ""), std::string(2047, 'v'));
}

}  // namespace

namespace {

// UTF-16LE with its byte order mark, from UTF-8 text of the basic plane.
std::string Utf16(const std::string& utf8) {
  std::string out = "\xFF\xFE";
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    const int n = c < 0x80 ? 0 : c < 0xE0 ? 1 : 2;
    unsigned code = n == 0 ? c : n == 1 ? c & 0x1F : c & 0x0F;
    for (int k = 1; k <= n; ++k) code = (code << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    out += static_cast<char>(code & 0xFF);
    out += static_cast<char>(code >> 8);
    i += static_cast<size_t>(n) + 1;
  }
  return out;
}

}  // namespace

TEST(IniSection, AnswersAsTheReadOfEachKey) {
  TestDir dir;
  const std::string path = dir / "list.ini";
  const std::string text =
      "[file]\n"
      "app.exe=first\nAPP.EXE=second\n"
      "  spaced key  =   spaced value   \n"
      "quoted=\"  in quotes  \"\nsingle='x'\nhalf=\"open\n"
      "empty=\n"
      "long=" + std::string(3000, 'v') + "\n"
      "中文键=中文值\n"
      "hex=0x10\nneg=-5\nword=abc\n"
      "; comment=not a key\n"
      "[other]\nonly=other\n"
      "[ FILE ]\nlate=from the second block\napp.exe=third\n";
  const Names probes = {"app.exe", "App.Exe", " spaced key ", "spaced key", "quoted", "single", "half", "empty",
                        "long",    "中文键",  "hex",          "neg",        "word",   "only",   "late", "missing",
                        "",        "; comment"};
  std::vector<std::string> files = {text, "\xEF\xBB\xBF" + text, Utf16(text)};
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  files.push_back(crlf);
  for (size_t f = 0; f < files.size(); ++f) {
    SCOPED_TRACE(f);
    TestDir::Put(path, files[f]);
    const TIniFile ini(path);
    const TIniSection section(ini, "File");
    TStringList all, listed;
    ini.ReadAllKeys("file", &all);
    section.ReadKeys(&listed);
    EXPECT_EQ(listed.Items(), all.Items());
    for (const std::string& key : probes) {
      for (const std::string& def : {std::string(""), std::string("dflt  "), std::string(3000, 'd')})
        EXPECT_EQ(section.ReadString(key, def), ini.ReadString("file", key, def)) << key;
      EXPECT_EQ(section.ReadInteger(key, 7), ini.ReadInteger("file", key, 7)) << key;
    }
  }
  // The answers themselves, from UTF-8 text, which every system reads as such.
  TestDir::Put(path, text);
  const TIniSection section(TIniFile(path), "file");
  TStringList keys;
  section.ReadKeys(&keys);
  EXPECT_EQ(keys.Items(), (Names{"app.exe", "spaced key", "quoted", "single", "half", "empty", "long", "中文键", "hex",
                                 "neg", "word", "late"}));
  EXPECT_EQ(section.ReadString("APP.exe", ""), "first");
  EXPECT_EQ(section.ReadString(" spaced key", ""), "spaced value");
  EXPECT_EQ(section.ReadString("quoted", ""), "  in quotes  ");
  EXPECT_EQ(section.ReadString("half", ""), "\"open");
  EXPECT_EQ(section.ReadString("empty", "d"), "");
  EXPECT_EQ(section.ReadString("long", "").size(), 2047u);
  EXPECT_EQ(section.ReadString("中文键", ""), "中文值");
  EXPECT_EQ(section.ReadString("late", ""), "from the second block");
  EXPECT_EQ(section.ReadString("missing", "dflt  "), "dflt");
  EXPECT_EQ(section.ReadInteger("hex", 0), 16);
  EXPECT_EQ(section.ReadInteger("word", 7), 7);
  // Read once: a later change of the file is not seen.
  TestDir::Put(path, "[file]\napp.exe=changed\n");
  EXPECT_EQ(section.ReadString("app.exe", ""), "first");
  EXPECT_EQ(TIniSection(TIniFile(path), "missing section").ReadString("app.exe", "d"), "d");
  EXPECT_EQ(TIniSection(TIniFile(dir / "no such file"), "file").ReadString("app.exe", "d"), "d");
}
