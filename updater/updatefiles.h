// The updater's files: where they are, and every value of the update record and the
// package manifest with its section, key, type and default. Each read and write of
// TUpdateRecord and TPackageManifest is one call to the INI functions, nothing cached.
// The installation asks for every file key, so TPackageFiles and TRecordedFileDates read
// those sections once each and answer from memory, as the per-key reads would have.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/classes.h"
#include "base/inifiles.h"

// The places below the application directory. Relative paths taken from stored data may
// be written with '\' (packages are authored on Windows); they are made native here.
class TUpdatePlaces {
 public:
  // appDirectory: with its trailing separator.
  explicit TUpdatePlaces(std::string appDirectory);

  const std::string& AppDirectory() const { return appDirectory_; }
  // The update directory, without a trailing separator.
  std::string UpdateDir() const;
  std::string RecordFile() const;
  std::string ManifestFile() const;
  std::string PackageFile() const;
  // Beside the package: what an interrupted download of it had fetched.
  std::string DownloadStateFile() const;
  // Beside the record while an installation runs: what it changes, and the old versions.
  std::string JournalFile() const;
  std::string BackupDir() const;
  std::string BackupFile(int index) const;
  std::string RecordBackup() const;
  // Where the file of a manifest key lies after unpacking.
  std::string UnpackedFile(const std::string& key) const;
  // The application directory followed by a relative path from stored data.
  std::string Installed(const std::string& relative) const;

 private:
  std::string appDirectory_;
};

// What is installed: category, release date, one date per installed file.
class TUpdateRecord {
 public:
  explicit TUpdateRecord(const std::string& fileName) : ini_(fileName) {}
  const std::string& FileName() const { return ini_.FileName(); }

  std::string Category() const;
  void WriteCheckDate(const std::string& yyyymmdd);
  // For the comparison with the server's date: 0 when missing, empty or not a number.
  double ReleaseDate() const;
  std::string ReleaseDateText() const;
  void WriteReleaseDate(const std::string& date);
  int32_t FileDate(const std::string& key) const;
  void WriteFileDate(const std::string& key, const std::string& date);
  // Several (key, date) pairs in one write of the record.
  void WriteFileDates(const std::vector<std::pair<std::string, std::string>>& dates);
  // Whether WriteFileDate / WriteReleaseDate can record these texts: a key or date
  // holding a line break or a NUL (a damaged or hostile manifest) cannot be.
  static bool CanRecordFileDate(const std::string& key, const std::string& date);
  static bool CanRecordReleaseDate(const std::string& date);

 private:
  friend class TRecordedFileDates;
  TIniFile ini_;
};

// What a package brings: the files with their targets and dates, its release date and
// the program to start afterwards.
class TPackageManifest {
 public:
  explicit TPackageManifest(const std::string& fileName) : ini_(fileName) {}
  const std::string& FileName() const { return ini_.FileName(); }

  // The file keys in file order.
  void ReadFileKeys(TStrings* keys) const;
  // The target relative to the application directory, as written.
  std::string FileTarget(const std::string& key) const;
  int32_t FileDate(const std::string& key) const;
  std::string FileDateText(const std::string& key) const;
  std::string ReleaseDate() const;
  // Relative to the application directory, as written.
  std::string Program() const;
  void EraseFileList();

 private:
  friend class TPackageFiles;
  TIniFile ini_;
};

// The record's file dates as they were when read.
class TRecordedFileDates {
 public:
  explicit TRecordedFileDates(const TUpdateRecord& record);
  int32_t FileDate(const std::string& key) const;

 private:
  TIniSection dates_;
};

// The manifest's file list and file dates as they were when read.
class TPackageFiles {
 public:
  explicit TPackageFiles(const TPackageManifest& manifest);
  void ReadFileKeys(TStrings* keys) const;
  std::string FileTarget(const std::string& key) const;
  int32_t FileDate(const std::string& key) const;
  std::string FileDateText(const std::string& key) const;

 private:
  TIniSection files_;
  TIniSection dates_;
};
