#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What the settings file needs of the file system, one file of each platform behind it (ini_file_system_posix.cpp,
// ini_file_system_windows.cpp). File names are UTF-8.
namespace tessarine::app::ini_system {

// The file's bytes; nothing when it is missing or cannot be read (a folder in its place, no permission), and
// nothing with tooLarge set when it holds more than maxSize bytes: such a file is no settings file, and reading it
// whole would hold start-up up for as long as it takes.
std::string ReadFileBytes(const std::string& fileName, size_t maxSize, bool* tooLarge = nullptr);

// The size of the regular file there; nothing when there is none.
std::optional<uintmax_t> RegularFileSize(const std::string& fileName);

// Replaces the file's content: a temporary file beside it is written and flushed to disk, then renamed over
// the file, so the file is at every moment either the whole old or the whole new content.
bool ReplaceContent(const std::string& fileName, const std::string& bytes);

// The folder of a file name ("." when it names none).
std::string DirectoryOf(const std::string& path);

// Makes the folder and each missing one above it, for the user alone where the system has owners.
void CreateFolders(const std::string& folder);

// Text in the system's ANSI code page, as Windows editors write it, in UTF-8. Without such a code page (POSIX)
// the bytes stay as they are.
std::string AnsiToUtf8(std::string_view bytes);

}  // namespace tessarine::app::ini_system
