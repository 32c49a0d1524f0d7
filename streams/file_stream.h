// Buffered byte streams over a pair of open files, kept in a FilePair.
//
// Files are read in blocks of IO_BLOCK bytes and written in full blocks of
// IO_BLOCK bytes, the last block shorter. ReadByte and WriteByte run once per
// byte and stay inline.
//
// FileSource and FileSink present the same streams to the codec loops, with
// direct access to the buffered block so that the loops can move many bytes
// per check.
#ifndef LZRING_STREAMS_FILE_STREAM_H
#define LZRING_STREAMS_FILE_STREAM_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/platform_file.h"

namespace lzring {

inline constexpr std::int32_t IO_BLOCK = 4096;  // size of every file read and full write

// A source and a destination file with their buffers. The C entry points
// keep theirs in the one static record of api/workspace.h.
struct FilePair {
  FileHandle in_handle;            // open source (or the file _GetFileSize measures)
  std::int32_t in_eof;             // 1 once a source read delivered nothing
  std::int32_t out_count;          // bytes waiting in out_buf
  std::int32_t in_pos;             // next byte of in_buf; 0 = read a new block first
  std::int32_t in_count;           // bytes the last block read delivered
  FileHandle out_handle;           // open destination
  std::uint8_t in_buf[IO_BLOCK];   // current source block
  std::uint8_t out_buf[IO_BLOCK];  // output not yet written
};

// Errors met by the streams of one call, as errno values (0: none).
// A failed read ends the input like the end of the file does (in_eof), and is
// also recorded here so that the call reports failure rather than success
// with truncated output.
struct StreamStatus {
  int read_error = 0;
  int write_error = 0;
};

// Starts streams over handles the caller opened and keeps ownership of.
inline void AttachFilePair(FilePair& pair, FileHandle source, FileHandle destination) {
  pair.in_eof = 0;
  pair.out_count = 0;
  pair.in_pos = 0;
  pair.in_count = 0;
  pair.in_handle = source;
  pair.out_handle = destination;
}

// Resets the stream counters and opens the source (into in_handle) and the
// destination (into out_handle). Returns -1 with nothing open when the source
// cannot be opened (the destination is then not touched), when the
// destination names the source file itself, or when the destination cannot be
// created; 0 otherwise. Paths are char strings, or on Windows also the wide
// strings of the C++ API's paths.
template <class PathChar>
int OpenFilePair(FilePair& pair, const PathChar* source_path, const PathChar* destination_path,
                 StreamStatus& status) {
  AttachFilePair(pair, kBadHandle, kBadHandle);
  pair.in_handle = FileOpenRead(source_path);
  if (pair.in_handle == kBadHandle) {
    status.read_error = FileLastError();
    return -1;
  }
  // Creating the destination truncates it: if it is the source itself the
  // source would be lost before a byte of it was read.
  if (FileIsSame(pair.in_handle, destination_path)) {
    FileClose(pair.in_handle);
    status.write_error = EINVAL;
    return -1;
  }
  pair.out_handle = FileCreate(destination_path);
  if (pair.out_handle == kBadHandle) {
    status.write_error = FileLastError();
    FileClose(pair.in_handle);
    return -1;
  }
  return 0;
}

// Reads the next source block into in_buf. At the end of the file, or on a
// failed read, sets in_eof instead.
void ReadBlock(FilePair& pair, StreamStatus& status);

// Writes all `count` bytes, retrying after short writes. Returns -1 when a
// write fails or makes no progress.
int WriteAll(FileHandle handle, const std::uint8_t* data, std::int32_t count, StreamStatus& status);

// Returns the next source byte. When in_eof is 1 afterwards the input has
// ended and the byte has no meaning; no further read is made in this call.
inline std::uint8_t ReadByte(FilePair& pair, StreamStatus& status) {
  if (pair.in_eof) return 0;
  if (pair.in_pos == 0) {
    ReadBlock(pair, status);
    if (pair.in_eof) return 0;
  }
  const std::uint8_t b = pair.in_buf[pair.in_pos];
  if (++pair.in_pos == pair.in_count) pair.in_pos = 0;
  return b;
}

// Queues one output byte, writing out_buf when it holds a full block.
// Returns -1 when that write failed (out_count then stays at IO_BLOCK).
inline int WriteByte(FilePair& pair, std::uint8_t b, StreamStatus& status) {
  pair.out_buf[pair.out_count++] = b;
  if (pair.out_count < IO_BLOCK) return 0;
  if (WriteAll(pair.out_handle, pair.out_buf, IO_BLOCK, status) != 0) return -1;
  pair.out_count = 0;
  return 0;
}

// Writes the bytes still waiting in out_buf. Returns -1 when that write fails.
int FlushOutput(FilePair& pair, StreamStatus& status);

// Closes the source, then the destination. Returns -1 when closing the
// destination failed (its data may not all be stored), 0 otherwise; a failed
// close of the source loses nothing and is ignored.
int CloseFilePair(FilePair& pair, StreamStatus& status);

// The source side as the codec loops see it.
class FileSource {
 public:
  FileSource(FilePair& pair, StreamStatus& status) : pair_(pair), status_(status) {}

  // Next byte in `b`; false once the input has ended.
  bool Next(std::uint8_t& b) {
    b = ReadByte(pair_, status_);
    return pair_.in_eof == 0;
  }
  // Bytes of the current block that can be taken without another read.
  std::size_t Available() const {
    return pair_.in_pos == 0 ? 0 : static_cast<std::size_t>(pair_.in_count - pair_.in_pos);
  }
  const std::uint8_t* Data() const { return pair_.in_buf + pair_.in_pos; }
  // Takes `n` <= Available() bytes.
  void Advance(std::size_t n) {
    pair_.in_pos += static_cast<std::int32_t>(n);
    if (pair_.in_pos == pair_.in_count) pair_.in_pos = 0;
  }

 private:
  FilePair& pair_;
  StreamStatus& status_;
};

// The destination side as the codec loops see it.
class FileSink {
 public:
  FileSink(FilePair& pair, StreamStatus& status) : pair_(pair), status_(status) {}

  // Queues one byte; false when a block write failed.
  bool Put(std::uint8_t b) { return WriteByte(pair_, b, status_) == 0; }
  // Bytes that can be stored at Space() before the block must be written.
  std::size_t Room() const { return static_cast<std::size_t>(IO_BLOCK - pair_.out_count); }
  std::uint8_t* Space() { return pair_.out_buf + pair_.out_count; }
  // Accepts `n` <= Room() bytes stored at Space(); false when the block write
  // this completes failed.
  bool Commit(std::size_t n) {
    pair_.out_count += static_cast<std::int32_t>(n);
    if (pair_.out_count < IO_BLOCK) return true;
    if (WriteAll(pair_.out_handle, pair_.out_buf, IO_BLOCK, status_) != 0) return false;
    pair_.out_count = 0;
    return true;
  }
  // Queues `n` bytes. While no block is pending, whole blocks are written
  // straight from `data`: the same blocks as through out_buf, one copy
  // fewer. A failed write leaves out_buf and out_count as the buffered path
  // would (the block held, out_count at IO_BLOCK).
  bool PutBytes(const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
      if (pair_.out_count == 0 && n >= static_cast<std::size_t>(IO_BLOCK)) {
        if (WriteAll(pair_.out_handle, data, IO_BLOCK, status_) != 0) {
          std::memcpy(pair_.out_buf, data, IO_BLOCK);
          pair_.out_count = IO_BLOCK;
          return false;
        }
        data += IO_BLOCK;
        n -= IO_BLOCK;
        continue;
      }
      const std::size_t chunk = n < Room() ? n : Room();
      std::memcpy(Space(), data, chunk);
      if (!Commit(chunk)) return false;
      data += chunk;
      n -= chunk;
    }
    return true;
  }

 private:
  FilePair& pair_;
  StreamStatus& status_;
};

}  // namespace lzring

#endif  // LZRING_STREAMS_FILE_STREAM_H
