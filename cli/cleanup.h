// Temporary output files, and their removal when the tool is interrupted.
//
// A complete output is linked or renamed into place; until then it lives
// under a short temporary name in the destination's directory (or under no
// name at all, see output_file.h). The names are kept in a table that one
// thread of the tool owns when a signal comes: SIGINT, SIGTERM and SIGHUP are
// blocked in every thread and taken by a watcher thread with sigwait(), which
// removes every registered name under the table's lock and then lets the
// signal end the process as it would have. A thread that creates, renames or
// removes a temporary file holds the same lock, so the watcher never reads a
// name while it is being written, and no file is created after its sweep.
#ifndef LZRING_CLI_CLEANUP_H
#define LZRING_CLI_CLEANUP_H

namespace lzring::cli {

// Blocks the three signals (those the caller has not set to be ignored:
// an ignored signal stays ignored) and starts the watcher. Also ignores
// SIGXFSZ, so that a file size limit makes the write fail with EFBIG (and
// the temporary file is removed) instead of killing the process with the
// file in place. Call before any other thread starts.
void InstallCleanupHandlers();

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

#endif  // LZRING_CLI_CLEANUP_H
