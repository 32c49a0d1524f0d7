// The temporary output file of Windows, registered for removal when the tool
// is interrupted (see cleanup.h); cleanup_win32.cpp holds the table and the
// console control handler.
#ifndef LZRING_CLI_TEMP_FILE_WIN32_H
#define LZRING_CLI_TEMP_FILE_WIN32_H

#include <string>

namespace lzring::cli {

// A file under a fresh temporary name in a directory, registered for
// removal. The file is removed when the object goes, unless Rename() gave it
// its final name.
class TempFile {
 public:
  TempFile() = default;
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Creates ".lzring-XXXXXX" in the directory `dir` (empty, or a path that
  // ends in a separator), open for writing as a C runtime descriptor. Others
  // may read it but not write it, and its name may be removed while it is
  // open, as the control handler does. False (errno set) on failure.
  bool Create(const std::wstring& dir);
  int fd() const { return fd_; }
  // Closes the descriptor; false (errno set) when the system reports a
  // failure.
  bool Close();
  // Moves the closed file to `destination` in the same directory: over an
  // existing file when `replace` (a read-only one included), otherwise
  // failing with EEXIST when the name exists. False (errno set) on failure.
  bool Rename(const std::wstring& destination, bool replace);

 private:
  int slot_ = -1;
  int fd_ = -1;
};

}  // namespace lzring::cli

#endif  // LZRING_CLI_TEMP_FILE_WIN32_H
