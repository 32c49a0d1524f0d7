// Standard stream adaptors for lzring: a std::streambuf that compresses what
// is written to it into another std::ostream, and one that expands what it
// reads from another std::istream, so that iostream code reads and writes
// compressed data unchanged:
//
//   std::ofstream file("report.lzr", std::ios::binary);
//   lzring::ostreambuf packer(file);
//   std::ostream out(&packer);
//   out << "any text or data\n";
//   if (!packer.finish()) { /* writing report.lzr failed */ }
//
//   std::ifstream packed("report.lzr", std::ios::binary);
//   lzring::istreambuf expander(packed);
//   std::istream in(&expander);
//   std::string line;
//   while (std::getline(in, line)) { ... }
//   if (expander.failed()) { /* reading report.lzr failed */ }
//
// A failure of the other stream is never taken for success: writes then
// fail (the std::ostream gets badbit) and finish() returns false; reads end
// as at the end of the stream, as a std::filebuf's do on a read error, and
// failed() tells the two apart. The other stream may throw instead (its
// exceptions() set): that is the same failure, caught and reported the same
// way, never an exception out of these buffers. Neither adaptor may be copied or moved, as
// the std::ostream or std::istream built on it keeps its address.
#ifndef LZRING_STREAMBUF_HPP
#define LZRING_STREAMBUF_HPP

#include <cstdint>
#include <istream>
#include <ostream>
#include <streambuf>

#include "lzring/lzring.hpp"

namespace lzring {

// Compresses the bytes written to it into `target`. The format cannot end a
// group early, so flushing writes only what the encoder has produced so far;
// the stream is complete only after finish().
class LZRING_CXX_API ostreambuf : public std::streambuf {
 public:
  explicit ostreambuf(std::ostream& target);
  // Finishes the stream if finish() was not called; an error is then lost.
  ~ostreambuf() override;
  ostreambuf(const ostreambuf&) = delete;
  ostreambuf& operator=(const ostreambuf&) = delete;

  // Compresses what remains, writes the end of the stream and flushes the
  // target. False when writing to the target failed at any point. Later
  // writes fail (the std::ostream gets badbit) and are not counted; a
  // later finish() then returns false.
  bool finish();

  std::uint64_t bytes_in() const noexcept;   // bytes written to this buffer
  std::uint64_t bytes_out() const noexcept;  // compressed bytes produced

 protected:
  int_type overflow(int_type ch) override;
  std::streamsize xsputn(const char_type* s, std::streamsize n) override;
  int sync() override;

 private:
  bool Drain();

  std::ostream& target_;
  encoder encoder_;
  bool done_ = false;
  bool late_write_ = false;  // a write came after finish()
  char area_[4096];
};

// Expands the compressed stream read from `source`, whole or its first
// `limit` bytes. The source is read ahead in blocks; bytes_used() tells how
// many of its bytes the stream took, for a caller that reads on after it.
// A stream that ends before `limit` bytes is a failure. Reading ends at a
// failure as at the end of the stream, after the bytes expanded before it
// (a read() counts them in gcount()); failed() then tells the failure.
class LZRING_CXX_API istreambuf : public std::streambuf {
 public:
  explicit istreambuf(std::istream& source, std::uint64_t limit = decoder::no_limit);
  ~istreambuf() override;
  istreambuf(const istreambuf&) = delete;
  istreambuf& operator=(const istreambuf&) = delete;

  std::uint64_t bytes_used() const noexcept;  // compressed bytes the stream took so far
  std::uint64_t bytes_out() const noexcept;   // bytes expanded so far
  // Reading the source failed, or the stream ended before `limit` bytes.
  bool failed() const noexcept;

 protected:
  int_type underflow() override;

 private:
  std::istream& source_;
  decoder decoder_;
  bool source_failed_ = false;
  char block_[4096];
};

}  // namespace lzring

#endif  // LZRING_STREAMBUF_HPP
