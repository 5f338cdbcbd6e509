#include "updater/signedrelease.h"

#include <memory>
#include <vector>

#include "base/classes.h"
#include "base/sysutils.h"
#include "platform/files.h"
#include "updater/extract_package.h"
#include "updater/fetch_url_text.h"
#include "updater/updatefiles.h"

using signing::TRefusal;
using signing::TStatementError;

std::string StatementUrl(const std::string& baseUrl, const std::string& category) {
  return baseUrl + category + ".sig";
}

TRefusal FetchStatement(const std::string& baseUrl, const std::string& keyText, const std::string& category,
                        double publishedDate, signing::TReleaseStatement& out, TStatementError& parseError) {
  parseError = TStatementError::None;
  const std::string text = FetchUrlText(StatementUrl(baseUrl, category));
  // A 404, a server that does not answer, anything: without a statement there is
  // nothing to trust.
  if (text == kFetchFailed) return TRefusal::NoSignature;
  const std::optional<signing::TPublicKey> key = signing::ParsePublicKey(keyText);
  // The build checks the key's form; a damaged one verifies nothing.
  if (!key) return TRefusal::BadSignature;
  return signing::CheckStatement(text, *key, category, publishedDate, out, &parseError);
}

TRefusal CheckPackage(const signing::TReleaseStatement& statement, const std::string& packageFile,
                      const std::string& scratchDir) {
  {
    TFileStream file(packageFile, fmOpenRead | fmShareDenyWrite);
    if (file.Size() != statement.length) return TRefusal::WrongLength;
    signing::TSha256 hash;
    std::vector<char> buffer(1 << 16);
    for (int64_t got; (got = file.Read(buffer.data(), static_cast<int64_t>(buffer.size()))) > 0;)
      hash.Update(buffer.data(), static_cast<size_t>(got));
    if (hash.Final() != statement.sha256) return TRefusal::WrongContent;
  }
  // The manifest's date becomes the installed one: it must be the date the vendor signed,
  // or the next check would take the same release for a newer one.
  const std::string manifestFile = IncludeTrailingPathDelimiter(scratchDir) + "list.ini";
  platform::DeleteFile(manifestFile);
  std::string manifestDate;
  try {
    if (ExtractPackageItem(packageFile, "list.ini", scratchDir))
      manifestDate = TPackageManifest(manifestFile).ReleaseDate();
  } catch (...) {
    platform::DeleteFile(manifestFile);
    throw;
  }
  platform::DeleteFile(manifestFile);
  return manifestDate == statement.date ? TRefusal::None : TRefusal::WrongDate;
}

namespace {

const char* ParseErrorText(TStatementError error) {
  switch (error) {
    case TStatementError::None: return "";
    case TStatementError::TooLarge: return "文件过大";
    case TStatementError::Unterminated: return "最后一行不完整";
    case TStatementError::BadHeader: return "不是发布声明";
    case TStatementError::UnknownLine: return "有未知的行";
    case TStatementError::RepeatedLine: return "有重复的行";
    case TStatementError::OutOfOrder: return "行的次序不对";
    case TStatementError::MissingLine: return "缺少行";
    case TStatementError::BadCategory: return "软件类别无效";
    case TStatementError::BadDate: return "日期无效";
    case TStatementError::BadLength: return "长度不是有效的数字";
    case TStatementError::BadDigest: return "SHA-256 无效";
    case TStatementError::BadSignatureSize: return "签名长度不对";
    case TStatementError::BadSignatureText: return "签名不是十六进制数字";
  }
  return "格式错误";
}

}  // namespace

std::string RefusalMessage(TRefusal refusal, TStatementError parseError) {
  const std::string prefix = "拒绝更新：";
  switch (refusal) {
    case TRefusal::None: return "";
    case TRefusal::NoSignature: return prefix + "没有签名";
    case TRefusal::BadStatement: return prefix + "签名文件无效（" + ParseErrorText(parseError) + "）";
    case TRefusal::BadSignature: return prefix + "签名不正确";
    case TRefusal::WrongCategory: return prefix + "软件类别不符";
    case TRefusal::WrongDate: return prefix + "日期不符";
    case TRefusal::WrongLength: return prefix + "长度不符";
    case TRefusal::WrongContent: return prefix + "内容不符";
  }
  return prefix + "验证失败";
}
