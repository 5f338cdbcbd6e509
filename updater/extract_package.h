// Unpacking the downloaded update package.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Extracts every item of the 7z archive at archivePath below destination, with its
// relative path (directories created as needed). Errors of the archive reader pass
// through unchanged; the reader is released in any case.
// progress, when given, hears the bytes unpacked so far and in all, possibly on the
// library's own threads; answering false stops the extraction, which then raises.
void ExtractPackage(const std::string& archivePath, const std::string& destination,
                    const std::function<bool(uint64_t done, uint64_t total)>& progress = {});

// Extracts the one file at itemPath of the 7z archive below destination. False, and
// nothing written, when the archive has no such file.
bool ExtractPackageItem(const std::string& archivePath, const std::string& itemPath, const std::string& destination);
