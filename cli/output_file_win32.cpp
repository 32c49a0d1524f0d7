// Windows rendering of the output file: a temporary name in the
// destination's directory, moved into place with MoveFileExW (see
// output_file.h).
#include <cerrno>

#include "cli/error_win32.h"
#include "cli/output_file.h"
#include "cli/temp_file_win32.h"
#include "cli/utf8_win32.h"

namespace lzring::cli {

struct OutputFile::State {
  TempFile temp;
  std::wstring destination;
  bool replace = false;
};

OutputFile::OutputFile() = default;
OutputFile::~OutputFile() = default;

int OutputFile::fd() const {
  return state_ ? state_->temp.fd() : -1;
}

bool OutputFile::Create(const std::string& destination, bool replace) {
  state_ = std::make_unique<State>();
  State& s = *state_;
  s.replace = replace;
  s.destination = Wide(destination);
  // The directory part ends at the last separator, or at the drive's colon
  // ("D:name" is in D:'s current directory).
  const std::size_t cut = s.destination.find_last_of(L"\\/:");
  const std::size_t name_at = cut == std::wstring::npos ? 0 : cut + 1;
  if (name_at == s.destination.size()) {
    SetErrno(EISDIR);
    return false;
  }
  return s.temp.Create(s.destination.substr(0, name_at));
}

bool OutputFile::Commit() {
  return state_->temp.Close() && state_->temp.Rename(state_->destination, state_->replace);
}

bool OutputFile::SyncDirectory() {
  // The move was written through: the new name is already on disk.
  return true;
}

}  // namespace lzring::cli
