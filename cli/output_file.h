// A regular output file while it is written, and how it gets its name.
//
// The file is made in the destination's directory, so that naming it is a
// link or a rename within one file system, never a copy. When the name must
// not replace anything (no -f) the file is made without a name where the
// system allows (O_TMPFILE), so that a crash leaves nothing behind, and is
// linked into place once complete; the link fails if the name exists by
// then, a symbolic link included. Otherwise, and with -f, it has a short
// temporary name (see cleanup.h) and is renamed into place: over an existing
// file with -f, never over anything without.
#ifndef LZRING_CLI_OUTPUT_FILE_H
#define LZRING_CLI_OUTPUT_FILE_H

#include <string>

#include "cli/cleanup.h"

namespace lzring::cli {

class OutputFile {
 public:
  // An OutputFile that goes before Commit() discards its file.
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Makes the file, mode 0600, for `destination`, which it may replace when
  // `replace` is set. False (errno set) on failure.
  bool Create(const std::string& destination, bool replace);
  int fd() const { return unnamed_.fd >= 0 ? unnamed_.fd : temp_.fd(); }
  // Closes the complete file and gives it the destination's name. False
  // (errno set; EEXIST when the name exists and may not be replaced) on
  // failure, and the file is then discarded.
  bool Commit();
  // Syncs the directory, so that the new name survives a crash as the data
  // do after fsync(). False (errno set) on failure.
  bool SyncDirectory();

 private:
  struct Descriptor {
    int fd = -1;
    ~Descriptor();
  };
  // Members go in reverse order: the temporary name is removed while the
  // directory it is in is still open.
  Descriptor dir_;
  Descriptor unnamed_;
  TempFile temp_;
  std::string name_;
  bool replace_ = false;
};

}  // namespace lzring::cli

#endif  // LZRING_CLI_OUTPUT_FILE_H
