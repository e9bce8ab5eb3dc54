// Saving a file so that a failure cannot cost the old one: the new contents go to a temporary
// file beside it, which replaces it only once complete, flushed to the disk and closed. A full
// disk or a failed write leaves the old file as it was and no temporary behind.
#pragma once

#include <cstddef>
#include <string>

namespace quillet {

class SafeFile {
 public:
  SafeFile() = default;
  ~SafeFile();  // an unfinished temporary is removed
  SafeFile(const SafeFile&) = delete;
  SafeFile& operator=(const SafeFile&) = delete;

  // Starts the file. An existing file that may not be written is refused as before (EACCES);
  // a directory too (EISDIR). A device, a FIFO or a link to no name (/proc/self/fd/N) is
  // written directly: there is no file beside it to put in its place.
  // false: Error() is the errno.
  bool Create(const std::string& path);
  bool Write(const void* data, size_t size);
  // Flushes, closes and puts the file in place (the old one's permissions kept).
  bool Commit();
  int Error() const { return error_; }

 private:
  bool Fail();
  int fd_ = -1;
  int error_ = 0;
  std::string target_, temp_;  // temp_ empty: writing the target itself
};

}  // namespace quillet
