#include "common/owner_only_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tessarine {

std::string RestrictToOwner(const std::string& path, bool create) {
  // The mode applies only when the file is created; the umask can narrow it further, never widen it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
  if (fd < 0) return !create && errno == ENOENT ? std::string() : std::strerror(errno);
  std::string error;
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    error = std::strerror(errno);
  } else if (S_ISREG(info.st_mode) && (info.st_mode & 077) != 0 && ::fchmod(fd, info.st_mode & 0700) != 0) {
    error = std::strerror(errno);
  }
  ::close(fd);
  return error;
}

}  // namespace tessarine
