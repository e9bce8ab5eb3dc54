#include "image/SafeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace quillet {

namespace {

bool MayWrite(const std::string& path, int mode = W_OK) {
  return ::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0;
}

}  // namespace

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

SafeFile::~SafeFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temp_.empty()) ::unlink(temp_.c_str());
}

bool SafeFile::Fail() { return FailWith(errno, ""); }

bool SafeFile::FailWith(int error, std::string why) {
  error_ = error;
  why_ = std::move(why);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
  return false;
}

std::string SafeFile::Why() const {
  if (!why_.empty()) return why_;
  return std::strerror(error_ ? error_ : EIO);
}

bool SafeFile::Resolve(const std::string& path) {
  target_ = path;
  direct_ = exists_ = inPlace_ = false;
  error_ = 0;
  why_.clear();
  note_.clear();
  if (path.empty()) return FailWith(ENOENT, "no file name");
  // Each link is followed by hand, so that a dangling one still names where the file goes.
  for (int hop = 0;; ++hop) {
    struct stat st {};
    if (::lstat(target_.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    if (hop == 40) return FailWith(ELOOP, "");
    std::vector<char> text(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 2);
    const ssize_t n = ::readlink(target_.c_str(), text.data(), text.size() - 1);
    if (n < 0) return Fail();
    const std::string to(text.data(), static_cast<size_t>(n));
    const std::string next = to[0] == '/' ? to : FolderOf(target_) + "/" + to;
    // A link of the system's (/proc/self/fd/1 to "pipe:[123]", a memfd's "/memfd:x (deleted)",
    // a deleted file's "/tmp/x (deleted)") does not name the file it opens: it can only be
    // written where it is. An ordinary link opens the file its text names, or nothing.
    struct stat viaLink {}, viaName {};
    if (::stat(target_.c_str(), &viaLink) == 0 &&
        (::stat(next.c_str(), &viaName) != 0 || viaName.st_dev != viaLink.st_dev ||
         viaName.st_ino != viaLink.st_ino)) {
      direct_ = true;
      exists_ = true;
      return true;
    }
    target_ = next;
  }
  return true;
}

bool SafeFile::CheckResolved() {
  if (direct_) {
    struct stat st {};
    if (::stat(target_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return FailWith(EISDIR, "");
    return MayWrite(target_) || Fail();
  }
  struct stat st {};
  exists_ = ::stat(target_.c_str(), &st) == 0;
  if (!exists_ && errno != ENOENT) return Fail();
  if (exists_ && S_ISDIR(st.st_mode)) return FailWith(EISDIR, "");
  // A device or a FIFO holds no file to keep: it is written directly.
  if (exists_ && !S_ISREG(st.st_mode)) {
    direct_ = true;
    return MayWrite(target_) || Fail();
  }
  if (exists_ && !MayWrite(target_)) return Fail();
  const std::string folder = FolderOf(target_);
  struct stat fs {};
  if (::stat(folder.c_str(), &fs) != 0)
    return FailWith(errno, errno == ENOENT ? "the folder " + folder + " does not exist"
                                           : "the folder " + folder + ": " + std::strerror(errno));
  if (!S_ISDIR(fs.st_mode)) return FailWith(ENOTDIR, folder + " is not a folder");
  if (!MayWrite(folder, W_OK | X_OK))
    return FailWith(errno, "the folder " + folder + " does not take new files (" +
                               std::strerror(errno) + ")");
  return true;
}

bool SafeFile::Check(const std::string& path) { return Resolve(path) && CheckResolved(); }

bool SafeFile::Create(const std::string& path) {
  if (!Check(path)) return false;
  if (direct_) {
    // Not blocking while opening: a FIFO nobody reads is an error now, not a wait forever.
    // A regular file reached through a link of the system's is rewritten from its start.
    struct stat st {};
    const bool regular = ::stat(target_.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    fd_ = ::open(target_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | (regular ? O_TRUNC : 0));
    if (fd_ < 0 && errno == ENXIO) return FailWith(ENXIO, "no program reads from " + target_);
    if (fd_ < 0) return Fail();
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    return true;
  }
  struct stat old {};
  if (exists_ && ::stat(target_.c_str(), &old) != 0) return Fail();

  const std::string folder = target_.rfind('/') == std::string::npos ? "" : FolderOf(target_) + "/";
  const std::string name = target_.substr(target_.rfind('/') + 1).substr(0, 100);
  for (int k = 0; k < 100; ++k) {
    temp_ = (folder == "//" ? "/" : folder) + "." + name + "." + std::to_string(::getpid()) + "-" +
            std::to_string(k) + ".tmp";
    // 0666 as any new file gets, less the umask; an existing file's own mode is copied below.
    fd_ = ::open(temp_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, exists_ ? 0600 : 0666);
    if (fd_ >= 0 || errno != EEXIST) break;
  }
  if (fd_ < 0) {
    temp_.clear();
    return Fail();
  }
  if (!exists_) return true;
  // Another name for the same file, or an owner that cannot be given (a user's file written
  // by a member of its group): the file itself is rewritten so that it stays what it was.
  struct stat mine {};
  ::fstat(fd_, &mine);
  if (old.st_nlink > 1) inPlace_ = true;
  if ((mine.st_uid != old.st_uid || mine.st_gid != old.st_gid) &&
      ::fchown(fd_, old.st_uid, old.st_gid) != 0)
    inPlace_ = true;
  if (!inPlace_ && ::fchmod(fd_, old.st_mode & 07777) != 0)
    note_ = "the mode of " + target_ + " could not be kept (" + std::strerror(errno) + ")";
  return true;
}

bool SafeFile::Write(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    // An interrupted write is not retried: the signal was a request to stop.
    const ssize_t n = ::write(fd_, p, size);
    if (n < 0) return Fail();
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool SafeFile::CopyInPlace() {
  const int to = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
  if (to < 0) return Fail();
  std::vector<char> block(65536);
  off_t at = 0;
  bool ok = true;
  for (;;) {
    const ssize_t n = ::pread(fd_, block.data(), block.size(), at);
    if (n < 0) ok = false;
    if (n <= 0) break;
    for (ssize_t done = 0; done < n && ok;) {
      const ssize_t w = ::pwrite(to, block.data() + done, static_cast<size_t>(n - done), at + done);
      if (w < 0) ok = false;
      else done += w;
    }
    if (!ok) break;
    at += n;
  }
  ok = ok && ::ftruncate(to, at) == 0 && ::fsync(to) == 0;
  const int error = errno;
  if (::close(to) != 0 && ok) return Fail();
  if (!ok)
    return FailWith(error, std::string(std::strerror(error)) + "; " + target_ +
                               " was being rewritten in place and may be incomplete");
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
  if (inPlace_) {
    if (!CopyInPlace()) return false;
    ::close(fd_);
    fd_ = -1;
    ::unlink(temp_.c_str());
    temp_.clear();
    return true;
  }
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 || ::rename(temp_.c_str(), target_.c_str()) != 0) return Fail();
  temp_.clear();
  // The rename itself reaches the disk with the folder.
  const int dir = ::open(FolderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace quillet
