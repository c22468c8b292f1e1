#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "app/ini_file_system.h"

namespace tessarine::app::ini_system {

namespace {

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string ReadFileBytes(const std::string& fileName, size_t maxSize, bool* tooLarge) {
  if (tooLarge) *tooLarge = false;
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string bytes;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    bool large = static_cast<uintmax_t>(info.st_size) > maxSize;
    if (!large) bytes.reserve(static_cast<size_t>(info.st_size));
    char buffer[8192];
    // Bounded as well by what is read: the file may grow meanwhile.
    while (!large) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        bytes.clear();
        break;
      }
      if (n == 0) break;
      bytes.append(buffer, static_cast<size_t>(n));
      large = bytes.size() > maxSize;
    }
    if (large) {
      bytes.clear();
      bytes.shrink_to_fit();
      if (tooLarge) *tooLarge = true;
    }
  }
  ::close(fd);
  return bytes;
}

std::optional<uintmax_t> RegularFileSize(const std::string& fileName) {
  struct stat info {};
  if (::stat(fileName.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return static_cast<uintmax_t>(info.st_size);
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void CreateFolders(const std::string& folder) {
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string prefix = folder.substr(0, slash);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return;
    if (slash == std::string::npos) return;
  }
}

bool ReplaceContent(const std::string& fileName, const std::string& bytes) {
  std::string target = fileName;
  if (char* real = ::realpath(fileName.c_str(), nullptr)) {  // a link: replace the file it points to
    target = real;
    std::free(real);
  }
  const std::string directory = DirectoryOf(target);
  static std::atomic<unsigned> counter{0};
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = target + "." + std::to_string(::getpid()) + "." + std::to_string(counter++) + ".tmp";
    // Owner only from the start: a file the program creates is nobody else's to read.
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  struct stat old {};
  if (::stat(target.c_str(), &old) == 0) ::fchmod(fd, old.st_mode & 07777);
  bool ok = WriteAll(fd, bytes) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = ::rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  // The rename itself reaches the disk with the directory.
  const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

std::string AnsiToUtf8(std::string_view bytes) { return std::string(bytes); }

}  // namespace tessarine::app::ini_system
