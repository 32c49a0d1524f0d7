// Writes a new file with holes where whole blocks are zeros.
#include "cli/sparse_writer.h"

#include <cstring>

#include "cli/file_system.h"

namespace lzring::cli {
namespace {

bool AllZeros(const std::uint8_t* p, std::size_t n) {
  return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0);
}

}  // namespace

SparseWriter::SparseWriter(int fd) : fd_(fd), buffer_(new std::uint8_t[kBuffer]) {}

bool SparseWriter::Write(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const std::size_t n = bytes.size() < kBuffer - held_ ? bytes.size() : kBuffer - held_;
    std::memcpy(buffer_.get() + held_, bytes.data(), n);
    held_ += n;
    size_ += n;
    bytes = bytes.subspan(n);
    if (held_ == kBuffer && !Flush()) return false;
  }
  return true;
}

// Writes the runs of blocks that hold data, each in one call, and skips
// those of zeros. The buffer always starts at a multiple of kBlock.
bool SparseWriter::Flush() {
  const std::uint8_t* const data = buffer_.get();
  std::size_t at = 0;
  while (at < held_) {
    std::size_t end = at;
    bool zeros = AllZeros(data + at, held_ - at < kBlock ? held_ - at : kBlock);
    while (end < held_) {
      const std::size_t n = held_ - end < kBlock ? held_ - end : kBlock;
      if (AllZeros(data + end, n) != zeros) break;
      end += n;
    }
    if (zeros) {
      skipped_ += end - at;
    } else {
      if (skipped_ > 0 && !SkipForward(fd_, skipped_)) return false;
      skipped_ = 0;
      if (!WriteAll(fd_, data + at, end - at)) return false;
    }
    at = end;
  }
  held_ = 0;
  return true;
}

bool SparseWriter::Finish() {
  if (!Flush()) return false;
  // Zeros at the end are no write: the size covers them.
  return skipped_ == 0 || SetFileSize(fd_, size_);
}

}  // namespace lzring::cli
