#include "updater/updatefiles.h"

#include "base/sysutils.h"

namespace {

const char* const kUpdateDir = "升级";
const char* const kRecordName = "更新记录.ini";
const char* const kManifestName = "list.ini";
const char* const kPackage = "tmp\\rjsj.7z";

// Update record.
const char* const kSettings = "设置";
const char* const kCategory = "软件类别";
const char* const kCheckDate = "检测更新日期";
const char* const kReleaseDate = "更新日期";  // [设置] key, and the record's per-file section
const char* const kFileDates = "更新日期";

// Package manifest.
const char* const kFileList = "file";
const char* const kPackageFileDates = "文件更新日期";
const char* const kPackageDate = "更新日期";  // section and key
const char* const kRun = "运行";
const char* const kProgram = "程序";

// Defaults of the per-file values, the same for one key or all of them.
constexpr int32_t kNoRecordedDate = 0;
constexpr int32_t kNoPackageDate = 1;
const char* const kNoPackageDateText = "1";
const char* const kNoTarget = "";

}  // namespace

TUpdatePlaces::TUpdatePlaces(std::string appDirectory) : appDirectory_(std::move(appDirectory)) {}

std::string TUpdatePlaces::UpdateDir() const { return appDirectory_ + kUpdateDir; }

std::string TUpdatePlaces::RecordFile() const { return UpdateDir() + PathDelim + kRecordName; }

std::string TUpdatePlaces::ManifestFile() const { return UpdateDir() + PathDelim + kManifestName; }

std::string TUpdatePlaces::PackageFile() const { return Installed(kPackage); }

std::string TUpdatePlaces::DownloadStateFile() const { return Installed(kPackage) + ".state"; }

std::string TUpdatePlaces::JournalFile() const { return UpdateDir() + PathDelim + "install.journal"; }

std::string TUpdatePlaces::BackupDir() const { return UpdateDir() + PathDelim + "install.backup"; }

std::string TUpdatePlaces::BackupFile(int index) const { return BackupDir() + PathDelim + IntToStr(index); }

std::string TUpdatePlaces::RecordBackup() const { return BackupDir() + PathDelim + "record"; }

std::string TUpdatePlaces::UnpackedFile(const std::string& key) const {
  return UpdateDir() + PathDelim + NativePath(key);
}

std::string TUpdatePlaces::Installed(const std::string& relative) const {
  return appDirectory_ + NativePath(relative);
}

std::string TUpdateRecord::Category() const { return ini_.ReadString(kSettings, kCategory, "0"); }

void TUpdateRecord::WriteCheckDate(const std::string& yyyymmdd) {
  ini_.WriteString(kSettings, kCheckDate, yyyymmdd);
}

double TUpdateRecord::ReleaseDate() const { return ini_.ReadFloat(kSettings, kReleaseDate, 0); }

std::string TUpdateRecord::ReleaseDateText() const { return ini_.ReadString(kSettings, kReleaseDate, "0"); }

void TUpdateRecord::WriteReleaseDate(const std::string& date) { ini_.WriteString(kSettings, kReleaseDate, date); }

int32_t TUpdateRecord::FileDate(const std::string& key) const { return ini_.ReadInteger(kFileDates, key, kNoRecordedDate); }

void TUpdateRecord::WriteFileDate(const std::string& key, const std::string& date) {
  ini_.WriteString(kFileDates, key, date);
}

void TUpdateRecord::WriteFileDates(const std::vector<std::pair<std::string, std::string>>& dates) {
  ini_.WriteStrings(kFileDates, dates);
}

bool TUpdateRecord::CanRecordFileDate(const std::string& key, const std::string& date) {
  return TIniFile::IsWritable(kFileDates, key, date);
}

bool TUpdateRecord::CanRecordReleaseDate(const std::string& date) {
  return TIniFile::IsWritable(kSettings, kReleaseDate, date);
}

// All of them: a listing cut short would leave files of the package uninstalled while the
// release is recorded as installed.
void TPackageManifest::ReadFileKeys(TStrings* keys) const { ini_.ReadAllKeys(kFileList, keys); }

std::string TPackageManifest::FileTarget(const std::string& key) const { return ini_.ReadString(kFileList, key, kNoTarget); }

int32_t TPackageManifest::FileDate(const std::string& key) const {
  return ini_.ReadInteger(kPackageFileDates, key, kNoPackageDate);
}

std::string TPackageManifest::FileDateText(const std::string& key) const {
  return ini_.ReadString(kPackageFileDates, key, kNoPackageDateText);
}

std::string TPackageManifest::ReleaseDate() const { return ini_.ReadString(kPackageDate, kPackageDate, "0"); }

std::string TPackageManifest::Program() const { return ini_.ReadString(kRun, kProgram, ""); }

void TPackageManifest::EraseFileList() { ini_.EraseSection(kFileList); }

TRecordedFileDates::TRecordedFileDates(const TUpdateRecord& record) : dates_(record.ini_, kFileDates) {}

int32_t TRecordedFileDates::FileDate(const std::string& key) const { return dates_.ReadInteger(key, kNoRecordedDate); }

TPackageFiles::TPackageFiles(const TPackageManifest& manifest)
    : files_(manifest.ini_, kFileList), dates_(manifest.ini_, kPackageFileDates) {}

// All of them, as TPackageManifest::ReadFileKeys.
void TPackageFiles::ReadFileKeys(TStrings* keys) const { files_.ReadKeys(keys); }

std::string TPackageFiles::FileTarget(const std::string& key) const { return files_.ReadString(key, kNoTarget); }

int32_t TPackageFiles::FileDate(const std::string& key) const { return dates_.ReadInteger(key, kNoPackageDate); }

std::string TPackageFiles::FileDateText(const std::string& key) const {
  return dates_.ReadString(key, kNoPackageDateText);
}
