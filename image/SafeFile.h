// Saving a file so that a failure cannot cost the old one: the new contents go to a temporary
// file beside it, which replaces it only once complete, flushed to the disk and closed. A full
// disk or a failed write leaves the old file as it was and no temporary behind.
//
// What the user had is kept: the replaced file's owner, group and mode; a link is followed to
// the file it names (a dangling one too: the file is made where it points). A file that cannot
// be replaced as it was, because it has other hard links or because its owner or group cannot
// be given to a new file, is rewritten in place instead, once the new contents are complete
// beside it: the disk's space is proven before the file is touched, and only an error while
// copying (the space is already held) can leave it partly written, which the error then says.
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

  // Whether path could be saved: the file (after its links) may be written, or its folder
  // exists and takes a new file. Creates nothing. false: Why() says what refuses.
  bool Check(const std::string& path);

  // Starts the file. An existing file that may not be written is refused as before (EACCES);
  // a directory too (EISDIR). A device, a FIFO or a link to no name (/proc/self/fd/N) is
  // written directly: there is no file beside it to put in its place. A FIFO that no program
  // reads is refused at once (ENXIO) rather than waited for.
  // false: Error() is the errno, Why() the cause in words.
  bool Create(const std::string& path);
  bool Write(const void* data, size_t size);
  // Flushes, closes and puts the file in place (the old one's owner, group and mode kept).
  bool Commit();
  int Error() const { return error_; }
  // The cause of the last failure in words: the system's text, or what it means here ("the
  // folder /x does not take new files (Permission denied)").
  std::string Why() const;
  // "" or one line on what could not be kept (the mode on a file system without modes).
  const std::string& Note() const { return note_; }

 private:
  bool Fail();
  bool FailWith(int error, std::string why);
  // The file a path names after its links; false (error_ set) on a loop or a bad link.
  bool Resolve(const std::string& path);
  bool CheckResolved();
  bool CopyInPlace();

  int fd_ = -1;
  int error_ = 0;
  std::string why_;
  std::string note_;
  std::string target_, temp_;  // temp_ empty: writing the target itself
  bool direct_ = false;        // a link to no name, a device, a FIFO
  bool exists_ = false;
  bool inPlace_ = false;       // the temporary's contents are copied into the target
};

// The folder part of a path ("." for a bare name, "/" for a name in the root).
std::string FolderOf(const std::string& path);

}  // namespace quillet
