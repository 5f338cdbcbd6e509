#include "platform/process.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/oserror.h"

extern char** environ;

namespace platform {

namespace {

// Guards the process environment: our own readers and writers, and the moment a
// program is started with it.
std::mutex environmentMutex;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// ---------------------------------------------------------------------------------------
// Command lines.

// Arguments after the program, split like the Windows C runtime does: blanks separate,
// double quotes group (a doubled quote inside quotes is a literal one), 2n backslashes
// before a quote give n backslashes and a grouping quote, 2n+1 give n and a literal
// quote, other backslashes are literal.
std::vector<std::string> SplitArguments(std::string_view s) {
  std::vector<std::string> args;
  size_t i = 0;
  const size_t n = s.size();
  for (;;) {
    while (i < n && IsBlank(s[i])) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n && (quoted || !IsBlank(s[i]))) {
      if (s[i] == '\\') {
        size_t count = 0;
        while (i < n && s[i] == '\\') {
          ++count;
          ++i;
        }
        if (i < n && s[i] == '"') {
          arg.append(count / 2, '\\');
          if (count % 2 == 1) {
            arg += '"';
            ++i;
          }
        } else {
          arg.append(count, '\\');
        }
      } else if (s[i] == '"') {
        if (quoted && i + 1 < n && s[i + 1] == '"') {
          arg += '"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        arg += s[i++];
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

struct ProgramChoice {
  std::string program;    // as written
  std::string_view rest;  // the arguments after it
};

// The ways the start of a command line can name the program, in the order Windows
// tries them: a quoted program is the text inside the quotes; an unquoted one is the
// first word, then the first two words with the blank between them, and so on.
std::vector<ProgramChoice> ProgramChoices(std::string_view line) {
  std::vector<ProgramChoice> choices;
  size_t start = 0;
  while (start < line.size() && IsBlank(line[start])) ++start;
  if (start < line.size() && line[start] == '"') {
    const size_t close = line.find('"', start + 1);
    const size_t end = close == std::string_view::npos ? line.size() : close;
    choices.push_back({std::string(line.substr(start + 1, end - start - 1)),
                       close == std::string_view::npos ? "" : line.substr(close + 1)});
    return choices;
  }
  for (size_t i = start; i <= line.size(); ++i) {
    const bool wordEnd = i == line.size() || (IsBlank(line[i]) && i > start && !IsBlank(line[i - 1]));
    if (wordEnd) choices.push_back({std::string(line.substr(start, i - start)), line.substr(i)});
  }
  if (choices.empty()) choices.push_back({std::string(), ""});
  return choices;
}

std::string ExecutableFolder() {
  const std::string exe = GetModuleFileName();
  const size_t slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

bool IsRunnableFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The file a program name stands for; empty with *error set when there is none. A name
// without a folder is looked for beside our own executable (as Windows does), then on
// PATH.
std::string FindProgram(const std::string& program, DWORD* error) {
  if (program.empty()) {
    *error = ERROR_FILE_NOT_FOUND;
    return {};
  }
  if (program.find('/') != std::string::npos) {
    struct stat st;
    if (stat(program.c_str(), &st) != 0) {
      SetLastErrorFromErrno(errno, program);
      *error = GetLastError();
      return {};
    }
    if (S_ISDIR(st.st_mode)) {
      *error = ERROR_ACCESS_DENIED;
      return {};
    }
    return program;
  }
  std::vector<std::string> folders{ExecutableFolder()};
  std::string path;
  {
    const std::lock_guard<std::mutex> lock(environmentMutex);
    const char* value = getenv("PATH");
    path = value ? value : "/usr/local/bin:/usr/bin:/bin";
  }
  for (size_t pos = 0; pos <= path.size();) {
    size_t colon = path.find(':', pos);
    if (colon == std::string::npos) colon = path.size();
    if (colon > pos) folders.push_back(path.substr(pos, colon - pos));
    pos = colon + 1;
  }
  for (const std::string& folder : folders) {
    if (folder.empty()) continue;
    std::string candidate = folder + "/" + program;
    if (IsRunnableFile(candidate)) return candidate;
  }
  *error = ERROR_FILE_NOT_FOUND;
  return {};
}

void ReportErrno(int fd, int err) {
  while (write(fd, &err, sizeof err) < 0 && errno == EINTR) {
  }
}

// Runs in the forked child of a possibly multi-threaded process: only calls that are
// safe after fork, no allocation. The child leaves our session and forks the program,
// so the program is nobody's child here and leaves no zombie behind.
[[noreturn]] void StartDetached(const char* path, char* const* argv, char* const* envp,
                                int errorPipe, int devNull) {
  setsid();
  const pid_t program = fork();
  if (program < 0) {
    ReportErrno(errorPipe, errno);
    _exit(127);
  }
  if (program > 0) _exit(0);
  struct sigaction defaults;
  memset(&defaults, 0, sizeof defaults);
  defaults.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &defaults, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // The program must not compete with us for console input.
  if (devNull >= 0) dup2(devNull, STDIN_FILENO);
  execve(path, argv, envp);
  ReportErrno(errorPipe, errno);
  _exit(127);
}

// Result of WinExec for a failure with this errno (last error set).
UINT StartFailure(int err) {
  SetLastErrorFromErrno(err);
  if (err == ENOMEM || err == EAGAIN || err == EMFILE || err == ENFILE) return 0;
  const DWORD code = GetLastError();
  // Above 31 would read as success.
  return code <= 31 ? code : ERROR_ACCESS_DENIED;
}

UINT Spawn(const std::string& path, std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  // The exec's outcome comes back through a pipe that closes by itself on success.
  int errorPipe[2];
  if (pipe2(errorPipe, O_CLOEXEC) != 0) return StartFailure(errno);
  const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
  pid_t child;
  int forkError;
  {
    const std::lock_guard<std::mutex> lock(environmentMutex);
    child = fork();
    if (child == 0) StartDetached(path.c_str(), argv.data(), environ, errorPipe[1], devNull);
    forkError = errno;
  }
  close(errorPipe[1]);
  if (devNull >= 0) close(devNull);
  if (child < 0) {
    close(errorPipe[0]);
    return StartFailure(forkError);
  }
  int status;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int childError = 0;
  ssize_t n;
  do {
    n = read(errorPipe[0], &childError, sizeof childError);
  } while (n < 0 && errno == EINTR);
  close(errorPipe[0]);
  if (n == static_cast<ssize_t>(sizeof childError)) return StartFailure(childError);
  SetLastError(ERROR_SUCCESS);
  return 33;
}

// ---------------------------------------------------------------------------------------
// The executable.

std::string ReadExecutableLink() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  std::string path(buffer, static_cast<size_t>(n));
  // Once the file has been replaced on disk, the kernel marks the old name.
  static constexpr std::string_view kDeleted = " (deleted)";
  struct stat st;
  if (path.size() > kDeleted.size() && path.ends_with(kDeleted) && stat(path.c_str(), &st) != 0)
    path.resize(path.size() - kDeleted.size());
  return path;
}

// Taken at start-up, before an installation may replace the file.
const std::string& ExecutablePath() {
  static const std::string path = ReadExecutableLink();
  return path;
}
[[maybe_unused]] const std::string& executableAtStartup = ExecutablePath();

// ---------------------------------------------------------------------------------------
// Libraries.

#if defined(__x86_64__)
constexpr const char* kMultiarch = "x86_64-linux-gnu";
#elif defined(__aarch64__)
constexpr const char* kMultiarch = "aarch64-linux-gnu";
#elif defined(__i386__)
constexpr const char* kMultiarch = "i386-linux-gnu";
#else
constexpr const char* kMultiarch = nullptr;
#endif

// Subfolders of a library folder holding a file of that name, in name order.
std::vector<std::string> PrivateLibraryCandidates(const std::string& root, const std::string& name) {
  std::vector<std::string> found;
  DIR* dir = opendir(root.c_str());
  if (dir == nullptr) return found;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::string candidate = root + "/" + entry->d_name + "/" + name;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) found.push_back(candidate);
  }
  closedir(dir);
  std::sort(found.begin(), found.end());
  return found;
}

HMODULE OpenLibrary(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }

// ---------------------------------------------------------------------------------------
// Error texts.

struct MessageText {
  DWORD code;
  const char* text;
};

constexpr MessageText kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_BAD_FORMAT, "An attempt was made to load a program with an incorrect format."},
    {14, "Not enough memory resources are available to complete this operation."},
    {ERROR_NOT_SAME_DEVICE, "The system cannot move the file to a different disk drive."},
    {ERROR_WRITE_PROTECT, "The media is write protected."},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process."},
    {ERROR_HANDLE_DISK_FULL, "The disk is full."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found."},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_DIRECTORY, "The directory name is invalid."},
    {ERROR_INVALID_WINDOW_HANDLE, "Invalid window handle."},
    {ERROR_NOT_ENOUGH_QUOTA, "Not enough quota is available to process this command."},
    // HRESULTs.
    {0x80004001, "Not implemented"},
    {0x80004002, "No such interface supported"},
    {0x80004003, "Invalid pointer"},
    {0x80004004, "Operation aborted"},
    {0x80004005, "Unspecified error"},
    {0x8000FFFF, "Catastrophic failure"},
    {0x80030001, "Unable to perform requested operation."},
    {0x80040111, "ClassFactory cannot supply requested class"},
};

const char* FindMessage(DWORD code) {
  for (const auto& m : kMessages)
    if (m.code == code) return m.text;
  return nullptr;
}

}  // namespace

UINT WinExec(const std::string& commandLine, UINT /*showCmd: no window system to tell*/) {
  // Everything that allocates or reads the environment happens here, before the fork.
  DWORD firstError = 0;
  for (const ProgramChoice& choice : ProgramChoices(commandLine)) {
    DWORD error = ERROR_FILE_NOT_FOUND;
    const std::string path = FindProgram(choice.program, &error);
    if (path.empty()) {
      if (firstError == 0) firstError = error;
      continue;
    }
    std::vector<std::string> args{choice.program};
    for (std::string& arg : SplitArguments(choice.rest)) args.push_back(std::move(arg));
    return Spawn(path, std::move(args));
  }
  SetLastError(firstError);
  return firstError <= 31 ? firstError : ERROR_FILE_NOT_FOUND;
}

bool RunAndWait(const std::vector<std::string>& argv, const std::string& currentDirectory, DWORD* exitCode) {
  if (argv.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  DWORD error = ERROR_FILE_NOT_FOUND;
  const std::string path = FindProgram(argv[0], &error);
  if (path.empty()) {
    SetLastError(error);
    return false;
  }
  std::vector<std::string> args = argv;
  std::vector<char*> pointers;
  for (std::string& arg : args) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  // A failed chdir or exec comes back through a pipe that closes by itself on success.
  int errorPipe[2];
  if (pipe2(errorPipe, O_CLOEXEC) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  pid_t child;
  int forkError;
  {
    const std::lock_guard<std::mutex> lock(environmentMutex);
    child = fork();
    if (child == 0) {
      int err = 0;
      if (!currentDirectory.empty() && chdir(currentDirectory.c_str()) != 0) err = errno;
      if (err == 0) {
        execve(path.c_str(), pointers.data(), environ);
        err = errno;
      }
      ssize_t ignored = write(errorPipe[1], &err, sizeof err);
      (void)ignored;
      _exit(127);
    }
    forkError = errno;
  }
  close(errorPipe[1]);
  if (child < 0) {
    close(errorPipe[0]);
    SetLastErrorFromErrno(forkError);
    return false;
  }
  int childError = 0;
  ssize_t n;
  do {
    n = read(errorPipe[0], &childError, sizeof childError);
  } while (n < 0 && errno == EINTR);
  close(errorPipe[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (n == static_cast<ssize_t>(sizeof childError)) {
    SetLastErrorFromErrno(childError);
    return false;
  }
  if (exitCode)
    *exitCode = WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status)) : 128 + static_cast<DWORD>(WTERMSIG(status));
  SetLastError(ERROR_SUCCESS);
  return true;
}

bool GenRandom(void* buffer, size_t size) {
  char* p = static_cast<char*>(buffer);
  while (size > 0) {
    const ssize_t n = getrandom(p, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno(errno);
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::optional<std::string> GetEnvironmentVariable(const std::string& name) {
  const std::lock_guard<std::mutex> lock(environmentMutex);
  const char* value = getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool SetEnvironmentVariable(const std::string& name, const std::optional<std::string>& value) {
  if (name.empty() || name.find('=') != std::string::npos) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const std::lock_guard<std::mutex> lock(environmentMutex);
  const int result = value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
  if (result != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

std::string GetModuleFileName() {
  const std::string& path = ExecutablePath();
  if (path.empty()) SetLastError(ERROR_FILE_NOT_FOUND);
  return path;
}

bool GetVersionEx(OSVERSIONINFO* info) {
  if (info == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  utsname names;
  if (uname(&names) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  unsigned major = 0, minor = 0, build = 0;
  sscanf(names.release, "%u.%u.%u", &major, &minor, &build);
  info->dwMajorVersion = major;
  info->dwMinorVersion = minor;
  info->dwBuildNumber = build;
  info->dwPlatformId = VER_PLATFORM_LINUX;
  return true;
}

void GetLocalTime(SYSTEMTIME* time) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  tm local;
  localtime_r(&now.tv_sec, &local);
  time->wYear = static_cast<uint16_t>(local.tm_year + 1900);
  time->wMonth = static_cast<uint16_t>(local.tm_mon + 1);
  time->wDayOfWeek = static_cast<uint16_t>(local.tm_wday);
  time->wDay = static_cast<uint16_t>(local.tm_mday);
  time->wHour = static_cast<uint16_t>(local.tm_hour);
  time->wMinute = static_cast<uint16_t>(local.tm_min);
  time->wSecond = static_cast<uint16_t>(std::min(local.tm_sec, 59));  // no leap second
  time->wMilliseconds = static_cast<uint16_t>(now.tv_nsec / 1000000);
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

HMODULE LoadLibrary(const std::string& name) {
  HMODULE module = nullptr;
  if (name.find('/') != std::string::npos) {
    module = OpenLibrary(name);
  } else if (!name.empty()) {
    const std::string beside = ExecutableFolder() + "/" + name;
    struct stat st;
    if (stat(beside.c_str(), &st) == 0 && S_ISREG(st.st_mode)) module = OpenLibrary(beside);
    if (module == nullptr) module = OpenLibrary(name);
    std::vector<std::string> roots{"/usr/lib", "/usr/local/lib"};
    if (kMultiarch != nullptr) roots.push_back(std::string("/usr/lib/") + kMultiarch);
    for (size_t r = 0; module == nullptr && r < roots.size(); ++r) {
      for (const std::string& candidate : PrivateLibraryCandidates(roots[r], name)) {
        module = OpenLibrary(candidate);
        if (module != nullptr) break;
      }
    }
  }
  SetLastError(module == nullptr ? ERROR_MOD_NOT_FOUND : ERROR_SUCCESS);
  return module;
}

void* GetProcAddress(HMODULE module, const char* name) {
  if (module == nullptr || name == nullptr) {
    SetLastError(module == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  dlerror();
  void* address = dlsym(module, name);
  if (address == nullptr) SetLastError(ERROR_PROC_NOT_FOUND);
  return address;
}

bool FreeLibrary(HMODULE module) {
  if (module == nullptr || dlclose(module) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return true;
}

std::string SysErrorMessage(DWORD code) {
  if (const char* text = FindMessage(code)) return text;
  // A Windows error wrapped as an HRESULT reads as the error itself.
  if ((code & 0xFFFF0000) == 0x80070000) {
    if (const char* text = FindMessage(code & 0xFFFF)) return text;
  }
  if ((code & 0xFFFF0000) == ERRNO_ERROR_BASE && (code & 0xFFFF) != 0) {
    char buffer[256];
    const char* text = strerror_r(static_cast<int>(code & 0xFFFF), buffer, sizeof buffer);
    if (text != nullptr && *text != '\0') return text;
  }
  char text[40];
  snprintf(text, sizeof text, "Unknown error 0x%08X", code);
  return text;
}

}  // namespace platform
