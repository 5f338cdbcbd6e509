// updater-release: what a vendor needs to publish a signed update.
//   keygen KEYFILE
//   pack RELEASE_DIR --date yyyymmdd [--run PROGRAM] [--output PACKAGE]
//   sign PACKAGE --category C --date yyyymmdd --key KEYFILE [--output STATEMENT]
//   publish PACKAGE STATEMENT DIR
//   verify DIR --category C --key PUBLIC_KEY
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Runs one command; returns the exit status (0 success, 1 refused or failed, 2 usage).
int RunReleaseTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The manifest for files (paths below the release folder with '/', sorted), all dated
// date; program may be empty (no [运行] section).
std::string ManifestText(const std::vector<std::string>& files, const std::string& date, const std::string& program);

// Why a file of a release cannot be named in a manifest ("" when it can): the INI reader
// would read another key than the file's path.
std::string ManifestNameProblem(const std::string& path);
