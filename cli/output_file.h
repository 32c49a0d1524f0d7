// A regular output file while it is written, and how it gets its name.
//
// The file is made in the destination's directory, so that naming it is a
// link or a rename within one file system, never a copy. It is registered
// for removal if the tool is interrupted (cleanup.h), and gets the
// destination's name only once complete: over an existing file with -f,
// never over anything without.
//
// On POSIX systems the file is made without a name where the system allows
// (O_TMPFILE), so that no crash or signal leaves it behind. Once complete it
// is linked into place when the name must not replace anything (no -f): the
// link fails if the name exists by then, a symbolic link included. With -f
// it is linked under a short temporary name and renamed into place. Where no
// unnamed file can be made it has the temporary name from the start
// (output_file_posix.cpp). On Windows it always has a temporary name
// and is moved into place with MoveFileExW, which replaces an existing file
// only with -f (output_file_win32.cpp).
#ifndef LZRING_CLI_OUTPUT_FILE_H
#define LZRING_CLI_OUTPUT_FILE_H

#include <memory>
#include <string>

namespace lzring::cli {

class OutputFile {
 public:
  // An OutputFile that goes before Commit() discards its file.
  OutputFile();
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Makes the file, readable and writable by its owner alone, for
  // `destination`, which it may replace when `replace` is set. False (errno
  // set) on failure.
  bool Create(const std::string& destination, bool replace);
  // The descriptor to write to; -1 before Create().
  int fd() const;
  // Closes the complete file and gives it the destination's name. False
  // (errno set; EEXIST when the name exists and may not be replaced) on
  // failure, and the file is then discarded.
  bool Commit();
  // Syncs the directory, so that the new name survives a crash as the data
  // do after SyncFile(). False (errno set) on failure.
  bool SyncDirectory();

  struct State;  // the platform's, in output_file_*.cpp

 private:
  std::unique_ptr<State> state_;
};

}  // namespace lzring::cli

#endif  // LZRING_CLI_OUTPUT_FILE_H
