// Unpacking the downloaded update package.
#pragma once

#include <string>

// Extracts every item of the 7z archive at archivePath below destination, with its
// relative path (directories created as needed). Errors of the archive reader pass
// through unchanged; the reader is released in any case.
void ExtractPackage(const std::string& archivePath, const std::string& destination);
