// The temporary output file of POSIX systems, registered for removal when
// the tool is interrupted (see cleanup.h); cleanup_posix.cpp holds the table.
#ifndef LZRING_CLI_TEMP_FILE_POSIX_H
#define LZRING_CLI_TEMP_FILE_POSIX_H

namespace lzring::cli {

// A file under a fresh temporary name in a directory, mode 0600, registered
// for removal. The file is removed when the object goes, unless Rename()
// gave it its final name.
class TempFile {
 public:
  TempFile() = default;
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Creates ".lzring-XXXXXX" in the directory open as `dir_fd` (which must
  // stay open while this object lives). The name has a fixed short length,
  // so it fits wherever the destination's name does. False (errno set) on
  // failure.
  bool Create(int dir_fd);
  // Gives the unnamed file `fd` (see file_calls.h) such a name in the
  // directory `dir_fd` instead, so that it can be renamed over a
  // destination; fd() stays -1. False (errno set) on failure.
  bool Link(int dir_fd, int fd);
  int fd() const { return fd_; }
  // Closes the descriptor; false (errno set) when close reports a delayed
  // write error.
  bool Close();
  // Renames the file to `name` in its directory: over an existing file when
  // `replace`, otherwise failing with EEXIST when the name exists (a
  // symbolic link included). False (errno set) on failure.
  bool Rename(const char* name, bool replace);

 private:
  int slot_ = -1;
  int fd_ = -1;
};

}  // namespace lzring::cli

#endif  // LZRING_CLI_TEMP_FILE_POSIX_H
