// Temporary output files, and their removal when the tool is interrupted.
//
// Every output is written to a temporary file beside its destination and
// renamed into place only when complete. The temporary names are kept in a
// fixed table that the SIGINT/SIGTERM/SIGHUP handler can walk without
// allocating or locking: it removes them all, then lets the signal end the
// process as it would have.
#ifndef LZRING_CLI_CLEANUP_H
#define LZRING_CLI_CLEANUP_H

#include <string>

namespace lzring::cli {

// Installs the signal handlers. Also ignores SIGXFSZ, so that a file size
// limit makes the write fail with EFBIG (and the temporary file is removed)
// instead of killing the process with the file in place.
void InstallCleanupHandlers();

// A temporary file created beside `destination` and registered for removal.
// The file is removed when the object goes, unless Commit() renamed it.
class TempFile {
 public:
  // Creates "<dir>/.<name>.XXXXXX" for destination "<dir>/<name>", mode 0600.
  // On failure fd() is -1 and errno tells why.
  explicit TempFile(const std::string& destination);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  int fd() const { return fd_; }
  // Closes the descriptor; returns false (errno set) when close reports a
  // delayed write error.
  bool Close();
  // Renames the closed file to `destination`; false (errno set) on failure.
  bool Commit(const std::string& destination);

 private:
  int slot_ = -1;
  int fd_ = -1;
};

}  // namespace lzring::cli

#endif  // LZRING_CLI_CLEANUP_H
