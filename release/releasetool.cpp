#include "release/releasetool.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "base/classes.h"
#include "base/sysutils.h"
#include "platform/files.h"
#include "platform/process.h"
#include "signing/releasestatement.h"
#include "updater/signedrelease.h"

namespace {

using signing::TRefusal;

// A failure with its message for the vendor.
DECLARE_EXCEPTION_CLASS(EReleaseError, Exception);

const char* const kUsage =
    "usage: updater-release keygen KEYFILE\n"
    "       updater-release pack RELEASE_DIR --date yyyymmdd [--run PROGRAM] [--output PACKAGE]\n"
    "       updater-release sign PACKAGE --category C --date yyyymmdd --key KEYFILE [--output STATEMENT]\n"
    "       updater-release publish PACKAGE STATEMENT DIR\n"
    "       updater-release verify DIR --category C --key PUBLIC_KEY\n";

// Positional arguments and --name value options.
struct TArgs {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;

  std::string Option(const std::string& name) const {
    auto it = options.find(name);
    return it == options.end() ? std::string() : it->second;
  }
  std::string Required(const std::string& name) const {
    auto it = options.find(name);
    if (it == options.end() || it->second.empty()) throw EReleaseError("--" + name + " is required");
    return it->second;
  }
};

TArgs SplitArgs(const std::vector<std::string>& args, const std::vector<std::string>& known) {
  TArgs out;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i].rfind("--", 0) == 0) {
      const std::string name = args[i].substr(2);
      if (std::find(known.begin(), known.end(), name) == known.end()) throw EReleaseError("unknown option " + args[i]);
      if (i + 1 >= args.size()) throw EReleaseError(args[i] + " needs a value");
      if (out.options.count(name)) throw EReleaseError(args[i] + " given twice");
      out.options[name] = args[++i];
    } else {
      out.positional.push_back(args[i]);
    }
  }
  return out;
}

std::string SystemError() { return platform::SysErrorMessage(platform::GetLastError()); }

bool IsAbsolute(const std::string& path) {
  if (path.empty()) return false;
  if (path[0] == '/' || path[0] == PathDelim) return true;
  // Windows: a drive letter ("C:\release"); '/' there is a root too.
  return PathDelim == '\\' && path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
}

std::string Absolute(const std::string& path) {
  if (IsAbsolute(path)) return path;
  return IncludeTrailingPathDelimiter(platform::GetCurrentDirectory()) + path;
}

// Small files only (keys, statements, date files): a bound keeps a wrong path from
// reading a disk image into memory.
std::string ReadSmallFile(const std::string& path, int64_t limit = 1 << 20) {
  TFileStream file(path, fmOpenRead | fmShareDenyWrite);
  if (file.Size() > limit) throw EReleaseError(path + " is too large");
  std::string data(static_cast<size_t>(file.Size()), '\0');
  file.ReadBuffer(data.data(), static_cast<int64_t>(data.size()));
  return data;
}

std::string RandomHex(size_t bytes) {
  std::vector<uint8_t> random(bytes);
  if (!platform::GenRandom(random.data(), random.size()))
    throw EReleaseError("no random numbers from the system: " + SystemError());
  return signing::ToHex(random.data(), random.size());
}

void WriteNewFile(const std::string& path, const std::string& data, bool ownerOnly) {
  const platform::HANDLE h = platform::FileCreateNew(path, ownerOnly);
  if (h == platform::INVALID_HANDLE) throw EReleaseError("cannot create " + path + ": " + SystemError());
  const bool written = platform::FileWrite(h, data.data(), static_cast<int64_t>(data.size())) ==
                       static_cast<int64_t>(data.size());
  platform::FileClose(h);
  if (!written) {
    platform::DeleteFile(path);
    throw EReleaseError("cannot write " + path + ": " + SystemError());
  }
}

// A new version of target is written beside it and renamed over it in one step: a reader
// sees the old file or the whole new one, never a part.
void ReplaceFrom(const std::string& temp, const std::string& target) {
  if (!platform::ReplaceFile(temp, target)) {
    const std::string reason = SystemError();
    platform::DeleteFile(temp);
    throw EReleaseError("cannot put " + target + " in place: " + reason);
  }
}

// Writes a file beside the target and puts it in place only when every byte is written.
void WriteBeside(const std::string& target, const std::function<bool(platform::HANDLE)>& write) {
  std::string temp;
  const platform::HANDLE h = platform::FileCreateBeside(target, temp);
  if (h == platform::INVALID_HANDLE) throw EReleaseError("cannot create a file beside " + target + ": " + SystemError());
  const bool written = write(h);
  platform::FileClose(h);
  if (!written) {
    const std::string reason = SystemError();
    platform::DeleteFile(temp);
    throw EReleaseError("cannot write " + temp + ": " + reason);
  }
  ReplaceFrom(temp, target);
}

void WriteFileAtomically(const std::string& target, const std::string& data) {
  WriteBeside(target, [&](platform::HANDLE h) {
    return platform::FileWrite(h, data.data(), static_cast<int64_t>(data.size())) ==
           static_cast<int64_t>(data.size());
  });
}

void CopyFileAtomically(const std::string& source, const std::string& target) {
  TFileStream in(source, fmOpenRead | fmShareDenyWrite);
  WriteBeside(target, [&](platform::HANDLE h) {
    std::vector<char> buffer(1 << 16);
    for (int64_t got; (got = in.Read(buffer.data(), static_cast<int64_t>(buffer.size()))) > 0;)
      if (platform::FileWrite(h, buffer.data(), got) != got) return false;
    return true;
  });
}

// A scratch folder for the manifest a check unpacks, removed with what is in it.
class TScratchDir {
 public:
  TScratchDir() : path_(platform::GetTempPath() + PathDelim + "updater-release-" + RandomHex(8)) {
    if (!platform::CreateDirectory(path_)) throw EReleaseError("cannot create " + path_ + ": " + SystemError());
  }
  ~TScratchDir() {
    std::vector<platform::FIND_DATA> entries;
    if (platform::ListDirectory(path_, &entries))
      for (const auto& e : entries) platform::DeleteFile(path_ + PathDelim + e.cFileName);
    platform::RemoveDirectory(path_);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

bool IsDate(const std::string& s) {
  return s.size() == 8 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string RequiredDate(const TArgs& args) {
  const std::string date = args.Required("date");
  if (!IsDate(date)) throw EReleaseError("--date must be eight digits, yyyymmdd");
  return date;
}

// The public key as text, or read from a file holding it (or the secret key file).
signing::TPublicKey PublicKeyArgument(const std::string& value) {
  if (auto key = signing::ParsePublicKey(value)) return *key;
  if (platform::FileExists(value)) {
    const std::string text = ReadSmallFile(value, 4096);
    if (auto secret = signing::ParseSecretKeyFile(text)) return signing::PublicKeyOf(*secret);
    if (auto key = signing::ParsePublicKey(Trim(text))) return *key;
  }
  throw EReleaseError("--key is neither a public key (64 hexadecimal digits) nor a file holding one");
}

std::string Describe(TRefusal refusal, signing::TStatementError error) {
  std::string text = signing::RefusalText(refusal);
  if (refusal == TRefusal::BadStatement) text += std::string(" (") + signing::StatementErrorText(error) + ")";
  return text;
}

// ---------------------------------------------------------------------------------------
// Commands.

int Keygen(const TArgs& args, std::ostream& out) {
  if (args.positional.size() != 1) throw EReleaseError("keygen takes the key file to write");
  const std::string path = args.positional[0];
  if (platform::FileExists(path) || platform::DirectoryExists(path))
    throw EReleaseError(path + " exists: a key is never overwritten");
  signing::TSecretKey secret;
  if (!platform::GenRandom(secret.data(), secret.size()))
    throw EReleaseError("no random numbers from the system: " + SystemError());
  WriteNewFile(path, signing::SecretKeyFileText(secret), true);
  out << signing::PublicKeyText(signing::PublicKeyOf(secret)) << "\n";
  return 0;
}

void CollectFiles(const std::string& root, const std::string& relative, std::vector<std::string>& files) {
  std::vector<platform::FIND_DATA> entries;
  const std::string dir = relative.empty() ? root : root + PathDelim + relative;
  if (!platform::ListDirectory(dir, &entries)) throw EReleaseError("cannot list " + dir + ": " + SystemError());
  for (const auto& e : entries) {
    const std::string path = relative.empty() ? e.cFileName : relative + "/" + e.cFileName;
    if (e.dwFileAttributes & platform::FILE_ATTRIBUTE_DIRECTORY) {
      CollectFiles(root, path, files);
    } else if (path != "list.ini") {
      // The manifest is written afresh; an old one is never a file of the release.
      files.push_back(path);
    }
  }
}

int Pack(const TArgs& args, std::ostream& out) {
  if (args.positional.size() != 1) throw EReleaseError("pack takes the release folder");
  const std::string dir = ExcludeTrailingPathDelimiter(Absolute(args.positional[0]));
  if (!platform::DirectoryExists(dir)) throw EReleaseError(dir + " is not a folder");
  const std::string date = RequiredDate(args);
  const std::string output = Absolute(args.Option("output").empty() ? dir + ".7z" : args.Option("output"));
  if (output.rfind(dir + PathDelim, 0) == 0) throw EReleaseError("the package must not be written inside " + dir);
  std::vector<std::string> files;
  CollectFiles(dir, "", files);
  if (files.empty()) throw EReleaseError(dir + " holds no files");
  for (const std::string& f : files) {
    const std::string problem = ManifestNameProblem(f);
    if (!problem.empty()) throw EReleaseError("\"" + f + "\" cannot be named in the manifest: " + problem);
  }
  for (size_t i = 1; i < files.size(); ++i)
    for (size_t j = 0; j < i; ++j)
      if (SameText(files[i], files[j]))
        throw EReleaseError("\"" + files[i] + "\" and \"" + files[j] + "\" differ only in case: the manifest's keys do not");
  std::string program = args.Option("run");
  if (!program.empty()) {
    program = StringReplaceAll(program, "\\", "/");
    if (std::find(files.begin(), files.end(), program) == files.end())
      throw EReleaseError("--run " + program + " is no file of the release");
  }
  WriteFileAtomically(dir + PathDelim + "list.ini", ManifestText(files, date, program));

  // 7z adds to an archive that is there already: start from nothing.
  if (platform::FileExists(output) && !platform::DeleteFile(output))
    throw EReleaseError("cannot replace " + output + ": " + SystemError());
  std::vector<std::string> command{"7z", "a", "-t7z", "-bso0", "-bsp0", "-y", "--", output, "list.ini"};
  command.insert(command.end(), files.begin(), files.end());
  platform::DWORD exitCode = 0;
  if (!platform::RunAndWait(command, dir, &exitCode))
    throw EReleaseError("cannot run 7z (Debian: apt-get install p7zip-full): " + SystemError());
  if (exitCode != 0) {
    platform::DeleteFile(output);
    throw EReleaseError("7z failed with exit status " + IntToStr(static_cast<int64_t>(exitCode)));
  }
  out << "packed " << files.size() << " files and list.ini into " << output << "\n";
  return 0;
}

// Length and SHA-256 of a file, read in pieces.
void Measure(const std::string& path, int64_t& length, signing::TDigest& digest) {
  TFileStream file(path, fmOpenRead | fmShareDenyWrite);
  signing::TSha256 hash;
  std::vector<char> buffer(1 << 16);
  length = 0;
  for (int64_t got; (got = file.Read(buffer.data(), static_cast<int64_t>(buffer.size()))) > 0; length += got)
    hash.Update(buffer.data(), static_cast<size_t>(got));
  digest = hash.Final();
}

int Sign(const TArgs& args, std::ostream& out) {
  if (args.positional.size() != 1) throw EReleaseError("sign takes the package");
  const std::string package = args.positional[0];
  signing::TReleaseStatement statement;
  statement.category = args.Required("category");
  statement.date = RequiredDate(args);
  const std::string keyFile = args.Required("key");
  const std::optional<signing::TSecretKey> secret = signing::ParseSecretKeyFile(ReadSmallFile(keyFile, 4096));
  if (!secret) throw EReleaseError(keyFile + " is not a secret key file of updater-release keygen");
  Measure(package, statement.length, statement.sha256);
  if (statement.length == 0) throw EReleaseError(package + " is empty");
  const std::string text = signing::SignStatement(statement, *secret);
  signing::TReleaseStatement parsed;
  const signing::TStatementError error = signing::ParseReleaseStatement(text, parsed, nullptr);
  if (error != signing::TStatementError::None)
    throw EReleaseError(std::string("cannot sign: ") + signing::StatementErrorText(error));
  // What the updater would refuse is not signed: the manifest's date must be this one.
  TScratchDir scratch;
  const TRefusal refusal = CheckPackage(statement, package, scratch.Path());
  if (refusal != TRefusal::None)
    throw EReleaseError(std::string("the package's manifest is not dated ") + statement.date + " (" +
                        signing::RefusalText(refusal) + ")");
  const std::string output = args.Option("output").empty() ? ChangeFileExt(package, ".sig") : args.Option("output");
  WriteFileAtomically(output, text);
  out << "signed " << package << " for category " << statement.category << ", date " << statement.date << ": "
      << output << "\n";
  return 0;
}

int Publish(const TArgs& args, std::ostream& out) {
  if (args.positional.size() != 3) throw EReleaseError("publish takes the package, the statement and the folder");
  const std::string& package = args.positional[0];
  const std::string text = ReadSmallFile(args.positional[1], signing::kMaxStatementSize + 1);
  const std::string dir = IncludeTrailingPathDelimiter(args.positional[2]);
  if (!platform::DirectoryExists(dir)) throw EReleaseError(dir + " is not a folder");
  signing::TReleaseStatement statement;
  const signing::TStatementError error = signing::ParseReleaseStatement(text, statement, nullptr);
  if (error != signing::TStatementError::None)
    throw EReleaseError(args.positional[1] + " is not a statement: " + signing::StatementErrorText(error));
  if (statement.category.find_first_of("/\\") != std::string::npos || statement.category == "." ||
      statement.category == "..")
    throw EReleaseError("category " + statement.category + " cannot name a file");
  // A package and a statement that do not belong together would be refused by every
  // updater; better never to publish them.
  TScratchDir scratch;
  const TRefusal refusal = CheckPackage(statement, package, scratch.Path());
  if (refusal != TRefusal::None)
    throw EReleaseError("the statement does not match " + package + ": " + signing::RefusalText(refusal));
  // The date last: until it changes no client asks for the new package or statement.
  const std::string base = dir + statement.category;
  CopyFileAtomically(package, base + ".7z");
  WriteFileAtomically(base + ".sig", text);
  WriteFileAtomically(base + ".html", statement.date);
  out << "published " << statement.category << " " << statement.date << " in " << dir << "\n";
  return 0;
}

int Verify(const TArgs& args, std::ostream& out) {
  if (args.positional.size() != 1) throw EReleaseError("verify takes the published folder");
  const std::string base = IncludeTrailingPathDelimiter(args.positional[0]) + args.Required("category");
  const signing::TPublicKey key = PublicKeyArgument(args.Required("key"));
  const std::string published = ReadSmallFile(base + ".html", 64 * 1024);
  double date = 0;
  try {
    date = StrToFloat(published);
  } catch (const Exception& e) {
    throw EReleaseError(base + ".html: " + e.Message());
  }
  signing::TReleaseStatement statement;
  signing::TStatementError error = signing::TStatementError::None;
  TRefusal refusal = TRefusal::NoSignature;
  if (platform::FileExists(base + ".sig"))
    refusal = signing::CheckStatement(ReadSmallFile(base + ".sig", signing::kMaxStatementSize + 1), key,
                                      args.Required("category"), date, statement, &error);
  if (refusal == TRefusal::None) {
    TScratchDir scratch;
    refusal = CheckPackage(statement, base + ".7z", scratch.Path());
  }
  if (refusal != TRefusal::None) {
    out << "refused: " << Describe(refusal, error) << "\n";
    return 1;
  }
  out << "verified: category " << statement.category << ", date " << statement.date << ", length "
      << statement.length << ", sha256 " << signing::ToHex(statement.sha256) << "\n";
  return 0;
}

}  // namespace

std::string ManifestNameProblem(const std::string& path) {
  if (path != Trim(path)) return "blanks at its start or end";
  if (path.find('=') != std::string::npos) return "'='";
  if (path[0] == '[' || path[0] == ';') return "'[' or ';' at its start";
  for (unsigned char c : path)
    if (c < 0x20 || c == 0x7F) return "a control character";
  if (path.find('\\') != std::string::npos) return "'\\'";
  return "";
}

std::string ManifestText(const std::vector<std::string>& files, const std::string& date, const std::string& program) {
  std::string keys, dates;
  for (const std::string& f : files) {
    const std::string key = StringReplaceAll(f, "/", "\\");
    keys += key + "=" + key + "\r\n";
    dates += key + "=" + date + "\r\n";
  }
  std::string text = "[file]\r\n" + keys + "[文件更新日期]\r\n" + dates + "[更新日期]\r\n更新日期=" + date + "\r\n";
  if (!program.empty()) text += "[运行]\r\n程序=" + StringReplaceAll(program, "/", "\\") + "\r\n";
  return text;
}

int RunReleaseTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    err << kUsage;
    return 2;
  }
  const std::string& command = args[0];
  try {
    if (command == "keygen") return Keygen(SplitArgs(args, {}), out);
    if (command == "pack") return Pack(SplitArgs(args, {"date", "run", "output"}), out);
    if (command == "sign") return Sign(SplitArgs(args, {"category", "date", "key", "output"}), out);
    if (command == "publish") return Publish(SplitArgs(args, {}), out);
    if (command == "verify") return Verify(SplitArgs(args, {"category", "key"}), out);
    err << kUsage;
    return 2;
  } catch (const Exception& e) {
    err << "updater-release " << command << ": " << e.Message() << "\n";
    return 1;
  }
}
