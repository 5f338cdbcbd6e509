#include "platform/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "tests/platform/testutil.h"

using namespace platform;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WaitForFile;
using testutil::WriteFile;

namespace {

// A program that writes its arguments after the first, one "[arg]" per line, into the
// file named by the first; the file appears complete or not at all.
void MakeRecorder(const std::string& path) {
  WriteFile(path,
            "#!/bin/sh\n"
            "out=\"$1\"; shift\n"
            "for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done > \"$out.part\"\n"
            "mv \"$out.part\" \"$out\"\n");
  chmod(path.c_str(), 0755);
}

std::string Recorded(const std::string& out) {
  return WaitForFile(out) ? ReadFile(out) : "(program did not run)";
}

// Child processes of this process, zombies included.
int ChildCount() {
  int count = 0;
  const std::string self = std::to_string(getpid());
  for (const auto& entry : testutil::fs::directory_iterator("/proc")) {
    const std::string stat = ReadFile(entry.path().string() + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos) continue;
    std::istringstream fields(stat.substr(paren + 2));
    std::string state, ppid;
    fields >> state >> ppid;
    if (ppid == self) ++count;
  }
  return count;
}

}  // namespace

TEST(WinExec, QuotedProgramWithBlanksAndWindowsArgumentRules) {
  TempDir dir;
  ASSERT_TRUE(testutil::fs::create_directory(dir / "my tools"));
  MakeRecorder(dir / "my tools/rec.sh");
  const std::string out = dir / "out";
  const std::string line = "\"" + (dir / "my tools/rec.sh") + "\" " + out +
                           R"( plain "two words" a\"b "c\\" d\\e "" "x""y" tab	end)";
  EXPECT_GT(WinExec(line, SW_HIDE), 31u);
  EXPECT_EQ(Recorded(out),
            "[plain]\n[two words]\n[a\"b]\n[c\\]\n[d\\\\e]\n[]\n[x\"y]\n[tab]\n[end]\n");
}

TEST(WinExec, UnquotedPathWithBlanksIsTriedWordByWord) {
  TempDir dir;
  ASSERT_TRUE(testutil::fs::create_directory(dir / "my tools"));
  MakeRecorder(dir / "my tools/rec.sh");
  const std::string out = dir / "out";
  EXPECT_GT(WinExec(dir / "my tools/rec.sh " + out + " x  y", SW_SHOWNA), 31u);
  EXPECT_EQ(Recorded(out), "[x]\n[y]\n");
}

TEST(WinExec, BareNameIsSearchedOnPath) {
  TempDir dir;
  ASSERT_TRUE(testutil::fs::create_directory(dir / "bin"));
  const std::string name = "rec-on-path-" + std::to_string(getpid());
  MakeRecorder(dir / ("bin/" + name));
  const std::optional<std::string> path = GetEnvironmentVariable("PATH");
  ASSERT_TRUE(SetEnvironmentVariable("PATH", "/nonexistent:" + (dir / "bin") + ":/usr/bin:/bin"));
  const std::string out = dir / "out";
  EXPECT_GT(WinExec(name + " \"" + out + "\" -s", SW_HIDE), 31u);
  SetEnvironmentVariable("PATH", path);
  EXPECT_EQ(Recorded(out), "[-s]\n");
}

TEST(WinExec, FailuresReportWindowsCodes) {
  TempDir dir;
  EXPECT_EQ(WinExec(dir / "missing", SW_HIDE), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(WinExec(dir / "nodir/prog arg", SW_HIDE), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(WinExec("no-such-program-anywhere-42 x", SW_HIDE), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(WinExec("", SW_HIDE), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(WinExec("\"" + dir.path() + "/\"", SW_HIDE), ERROR_ACCESS_DENIED);
  // Found, but the system refuses to run it: known only once the exec has failed.
  WriteFile(dir / "text", "just text, no interpreter line\n");
  chmod((dir / "text").c_str(), 0755);
  EXPECT_EQ(WinExec(dir / "text", SW_HIDE), ERROR_BAD_FORMAT);
  EXPECT_EQ(GetLastError(), ERROR_BAD_FORMAT);
  WriteFile(dir / "noexec", "#!/bin/sh\n");
  chmod((dir / "noexec").c_str(), 0644);
  EXPECT_EQ(WinExec(dir / "noexec", SW_HIDE), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ChildCount(), 0);
}

TEST(WinExec, StartedProgramIsNotOurChild) {
  TempDir dir;
  MakeRecorder(dir / "rec.sh");
  ASSERT_EQ(ChildCount(), 0);
  for (int i = 0; i < 3; ++i) {
    const std::string out = dir / ("out" + std::to_string(i));
    ASSERT_GT(WinExec(dir / "rec.sh " + out + " done", SW_HIDE), 31u);
    EXPECT_EQ(Recorded(out), "[done]\n");
  }
  // Neither running nor finished-and-unreaped programs hang on to this process.
  EXPECT_EQ(ChildCount(), 0);
}

// The program waits (within a limit) for a file that the test creates only once WinExec
// has returned; a WinExec that waited for the program would find it gave up.
TEST(WinExec, RunsDetachedWithoutWaiting) {
  TempDir dir;
  WriteFile(dir / "waiter.sh",
            "#!/bin/sh\n"
            "i=0\n"
            "while [ ! -e \"$1.go\" ] && [ $i -lt 3000 ]; do sleep 0.01; i=$((i+1)); done\n"
            "if [ -e \"$1.go\" ]; then r=released; else r=gave-up; fi\n"
            "echo \"$r $(cut -d' ' -f6 /proc/$$/stat)\" > \"$1.part\"; mv \"$1.part\" \"$1\"\n");
  chmod((dir / "waiter.sh").c_str(), 0755);
  const std::string out = dir / "out";
  ASSERT_GT(WinExec(dir / "waiter.sh " + out, SW_HIDE), 31u);
  WriteFile(out + ".go", "");
  const std::string result = Recorded(out);
  EXPECT_EQ(result.substr(0, 9), "released ");
  EXPECT_NE(result, "released " + std::to_string(getsid(0)) + "\n");  // its own session
}

TEST(Environment, SetGetAndRemove) {
  const std::string name = "PLATFORM_TEST_VAR_" + std::to_string(getpid());
  EXPECT_EQ(GetEnvironmentVariable(name), std::nullopt);
  EXPECT_TRUE(SetEnvironmentVariable(name, "C:\\Program Files\\Common Files"));
  EXPECT_EQ(GetEnvironmentVariable(name), "C:\\Program Files\\Common Files");
  EXPECT_TRUE(SetEnvironmentVariable(name, std::nullopt));
  EXPECT_EQ(GetEnvironmentVariable(name), std::nullopt);
  EXPECT_FALSE(SetEnvironmentVariable("A=B", "x"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(System, ModuleFileNameAndVersion) {
  const std::string exe = GetModuleFileName();
  EXPECT_EQ(exe, testutil::fs::canonical("/proc/self/exe").string());
  EXPECT_EQ(exe.substr(exe.rfind('/') + 1), "platform_tests");

  OSVERSIONINFO info;
  ASSERT_TRUE(GetVersionEx(&info));
  EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_LINUX);
}

TEST(Libraries, LoadFindAndFree) {
  EXPECT_EQ(LoadLibrary("no-such-library-42.so"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(LoadLibrary("/nonexistent/libx.so"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);

  const HMODULE libm = LoadLibrary("libm.so.6");  // through the system's search
  ASSERT_NE(libm, nullptr);
  EXPECT_NE(GetProcAddress(libm, "cos"), nullptr);
  EXPECT_EQ(GetProcAddress(libm, "no_such_function_42"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_TRUE(FreeLibrary(libm));
  EXPECT_FALSE(FreeLibrary(nullptr));

  // A package's private library folder.
  if (!testutil::fs::exists("/usr/lib/p7zip/7z.so")) GTEST_SKIP() << "p7zip-full not installed";
  const HMODULE archive = LoadLibrary("7z.so");
  ASSERT_NE(archive, nullptr);
  EXPECT_NE(GetProcAddress(archive, "CreateObject"), nullptr);
  EXPECT_TRUE(FreeLibrary(archive));
}

TEST(System, ErrorMessages) {
  EXPECT_EQ(SysErrorMessage(ERROR_FILE_NOT_FOUND), "The system cannot find the file specified.");
  EXPECT_EQ(SysErrorMessage(1), "Incorrect function.");  // also S_FALSE
  EXPECT_EQ(SysErrorMessage(0x80004005), "Unspecified error");
  EXPECT_EQ(SysErrorMessage(0x80040111), "ClassFactory cannot supply requested class");
  EXPECT_EQ(SysErrorMessage(0x8007000E),
            "Not enough memory resources are available to complete this operation.");
  EXPECT_EQ(SysErrorMessage(0x88000000 + ENOSPC), strerror(ENOSPC));
  EXPECT_EQ(SysErrorMessage(0x12345678), "Unknown error 0x12345678");
  for (DWORD code = 0; code < 2000; ++code) {
    const std::string text = SysErrorMessage(code);
    EXPECT_FALSE(text.empty()) << code;
    EXPECT_NE(text.back(), '\n') << code;
  }
}
