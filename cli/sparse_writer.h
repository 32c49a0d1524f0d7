// A new regular file written from its start with holes where its data are
// zeros: whole blocks of zeros are skipped over rather than written, so that
// they take no space on disk (an expanded disk image, say), and the file's
// size is set at the end when it ends in such a block. Only for a file the
// tool has just made: a device or pipe gets every byte.
#ifndef LZRING_CLI_SPARSE_WRITER_H
#define LZRING_CLI_SPARSE_WRITER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace lzring::cli {

class SparseWriter {
 public:
  // Writes to `fd`, an empty regular file at offset 0.
  explicit SparseWriter(int fd);
  SparseWriter(const SparseWriter&) = delete;
  SparseWriter& operator=(const SparseWriter&) = delete;

  // Takes the next bytes of the file. False (errno set) when a write or a
  // skip failed.
  bool Write(std::span<const std::uint8_t> bytes);
  // Writes what is held and gives the file its full size. False (errno set)
  // on failure.
  bool Finish();

 private:
  // A block of this size that is all zeros becomes a hole: the usual block
  // of file systems, at offsets that are multiples of it.
  static constexpr std::size_t kBlock = 4096;
  static constexpr std::size_t kBuffer = 64 * kBlock;

  bool Flush();

  int fd_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t held_ = 0;       // bytes in buffer_
  std::uint64_t size_ = 0;     // bytes taken so far
  std::uint64_t skipped_ = 0;  // zeros skipped since the last write
};

}  // namespace lzring::cli

#endif  // LZRING_CLI_SPARSE_WRITER_H
