// Unpacking the downloaded update package.
#pragma once

#include <string>

// Extracts every item of the 7z archive at archivePath below destination, with its
// relative path (directories created as needed). Errors of the archive reader pass
// through unchanged; the reader is released in any case.
void ExtractPackage(const std::string& archivePath, const std::string& destination);

// Extracts the one file at itemPath of the 7z archive below destination. False, and
// nothing written, when the archive has no such file.
bool ExtractPackageItem(const std::string& archivePath, const std::string& itemPath, const std::string& destination);
