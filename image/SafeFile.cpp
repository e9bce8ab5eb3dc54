#include "image/SafeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace quillet {

SafeFile::~SafeFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temp_.empty()) ::unlink(temp_.c_str());
}

bool SafeFile::Fail() {
  error_ = errno;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
  return false;
}

bool SafeFile::Create(const std::string& path) {
  target_ = path;
  struct stat st {};
  // A link is followed: the file it names is the one replaced, the link stays. A link to no
  // name (/dev/stdout to a pipe, /proc/self/fd/N) can only be written where it points.
  bool inPlace = false;
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* real = ::realpath(path.c_str(), nullptr)) {
      target_ = real;
      std::free(real);
    } else {
      inPlace = true;
    }
  }
  const bool exists = ::stat(target_.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return Fail();
  }
  // A device or a FIFO holds no file to keep: it is written directly.
  if (exists && (inPlace || !S_ISREG(st.st_mode))) {
    fd_ = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC | (S_ISREG(st.st_mode) ? O_TRUNC : 0));
    return fd_ >= 0 || Fail();
  }
  if (exists && ::access(target_.c_str(), W_OK) != 0) return Fail();

  const size_t slash = target_.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
  const std::string name = target_.substr(folder.size()).substr(0, 100);
  for (int k = 0; k < 100; ++k) {
    temp_ = folder + "." + name + "." + std::to_string(::getpid()) + "-" + std::to_string(k) + ".tmp";
    // 0666 as any new file gets, less the umask; an existing file's own mode is copied below.
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0 || errno != EEXIST) break;
  }
  if (fd_ < 0) {
    temp_.clear();
    return Fail();
  }
  if (exists) (void)::fchmod(fd_, st.st_mode & 07777);
  return true;
}

bool SafeFile::Write(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd_, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool SafeFile::Commit() {
  if (temp_.empty()) {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return Fail();
    return true;
  }
  if (::fsync(fd_) != 0) return Fail();
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 || ::rename(temp_.c_str(), target_.c_str()) != 0) return Fail();
  temp_.clear();
  // The rename itself reaches the disk with the folder.
  const size_t slash = target_.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target_.substr(0, slash);
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace quillet
