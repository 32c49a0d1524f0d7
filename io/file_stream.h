// Buffered byte streams over a pair of open files, kept in a Workspace.
//
// The codec works one byte at a time; files are read in blocks of IO_BLOCK
// bytes and written in full blocks of IO_BLOCK bytes, the last block shorter.
// ReadByte and WriteByte run once per byte and stay inline.
//
// FileSource and FileSink present the same streams to the codec loops, with
// direct access to the buffered block so that the loops can move many bytes
// per check.
#ifndef LZRING_IO_FILE_STREAM_H
#define LZRING_IO_FILE_STREAM_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "api/workspace.h"
#include "io/platform_file.h"

namespace lzring {

// Errors met by the streams of one call, as errno values (0: none).
// A failed read ends the input like the end of the file does (in_eof), and is
// also recorded here so that the call reports failure rather than success
// with truncated output.
struct StreamStatus {
  int read_error = 0;
  int write_error = 0;
};

// Starts streams over handles the caller opened and keeps ownership of.
inline void AttachFilePair(Workspace& ws, FileHandle source, FileHandle destination) {
  ws.in_eof = 0;
  ws.out_count = 0;
  ws.in_pos = 0;
  ws.in_count = 0;
  ws.in_handle = source;
  ws.out_handle = destination;
}

// Resets the stream counters and opens the source (into in_handle) and the
// destination (into out_handle). Returns -1 with nothing open when the source
// cannot be opened (the destination is then not touched), when the
// destination names the source file itself, or when the destination cannot be
// created; 0 otherwise. Paths are char strings, or on Windows also the wide
// strings of the C++ API's paths.
template <class PathChar>
int OpenFilePair(Workspace& ws, const PathChar* source_path, const PathChar* destination_path,
                 StreamStatus& status) {
  AttachFilePair(ws, kBadHandle, kBadHandle);
  ws.in_handle = FileOpenRead(source_path);
  if (ws.in_handle == kBadHandle) {
    status.read_error = FileLastError();
    return -1;
  }
  // Creating the destination truncates it: if it is the source itself the
  // source would be lost before a byte of it was read.
  if (FileIsSame(ws.in_handle, destination_path)) {
    FileClose(ws.in_handle);
    status.write_error = EINVAL;
    return -1;
  }
  ws.out_handle = FileCreate(destination_path);
  if (ws.out_handle == kBadHandle) {
    status.write_error = FileLastError();
    FileClose(ws.in_handle);
    return -1;
  }
  return 0;
}

// Reads the next source block into in_buf. At the end of the file, or on a
// failed read, sets in_eof instead.
void ReadBlock(Workspace& ws, StreamStatus& status);

// Writes all `count` bytes, retrying after short writes. Returns -1 when a
// write fails or makes no progress.
int WriteAll(FileHandle handle, const std::uint8_t* data, std::int32_t count, StreamStatus& status);

// Returns the next source byte. When in_eof is 1 afterwards the input has
// ended and the byte has no meaning; no further read is made in this call.
inline std::uint8_t ReadByte(Workspace& ws, StreamStatus& status) {
  if (ws.in_eof) return 0;
  if (ws.in_pos == 0) {
    ReadBlock(ws, status);
    if (ws.in_eof) return 0;
  }
  const std::uint8_t b = ws.in_buf[ws.in_pos];
  if (++ws.in_pos == ws.in_count) ws.in_pos = 0;
  return b;
}

// Queues one output byte, writing out_buf when it holds a full block.
// Returns -1 when that write failed (out_count then stays at IO_BLOCK).
inline int WriteByte(Workspace& ws, std::uint8_t b, StreamStatus& status) {
  ws.out_buf[ws.out_count++] = b;
  if (ws.out_count < IO_BLOCK) return 0;
  if (WriteAll(ws.out_handle, ws.out_buf, IO_BLOCK, status) != 0) return -1;
  ws.out_count = 0;
  return 0;
}

// Writes the bytes still waiting in out_buf. Returns -1 when that write fails.
int FlushOutput(Workspace& ws, StreamStatus& status);

// Closes the source, then the destination. Returns -1 when closing the
// destination failed (its data may not all be stored), 0 otherwise; a failed
// close of the source loses nothing and is ignored.
int CloseFilePair(Workspace& ws, StreamStatus& status);

// The source side as the codec loops see it.
class FileSource {
 public:
  FileSource(Workspace& ws, StreamStatus& status) : ws_(ws), status_(status) {}

  // Next byte in `b`; false once the input has ended.
  bool Next(std::uint8_t& b) {
    b = ReadByte(ws_, status_);
    return ws_.in_eof == 0;
  }
  // Bytes of the current block that can be taken without another read.
  std::size_t Available() const {
    return ws_.in_pos == 0 ? 0 : static_cast<std::size_t>(ws_.in_count - ws_.in_pos);
  }
  const std::uint8_t* Data() const { return ws_.in_buf + ws_.in_pos; }
  // Takes `n` <= Available() bytes.
  void Advance(std::size_t n) {
    ws_.in_pos += static_cast<std::int32_t>(n);
    if (ws_.in_pos == ws_.in_count) ws_.in_pos = 0;
  }

 private:
  Workspace& ws_;
  StreamStatus& status_;
};

// The destination side as the codec loops see it.
class FileSink {
 public:
  FileSink(Workspace& ws, StreamStatus& status) : ws_(ws), status_(status) {}

  // Queues one byte; false when a block write failed.
  bool Put(std::uint8_t b) { return WriteByte(ws_, b, status_) == 0; }
  // Bytes that can be stored at Space() before the block must be written.
  std::size_t Room() const { return static_cast<std::size_t>(IO_BLOCK - ws_.out_count); }
  std::uint8_t* Space() { return ws_.out_buf + ws_.out_count; }
  // Accepts `n` <= Room() bytes stored at Space(); false when the block write
  // this completes failed.
  bool Commit(std::size_t n) {
    ws_.out_count += static_cast<std::int32_t>(n);
    if (ws_.out_count < IO_BLOCK) return true;
    if (WriteAll(ws_.out_handle, ws_.out_buf, IO_BLOCK, status_) != 0) return false;
    ws_.out_count = 0;
    return true;
  }
  // Queues `n` bytes. While no block is pending, whole blocks are written
  // straight from `data`: the same blocks as through out_buf, one copy
  // fewer. A failed write leaves out_buf and out_count as the buffered path
  // would (the block held, out_count at IO_BLOCK).
  bool PutBytes(const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
      if (ws_.out_count == 0 && n >= static_cast<std::size_t>(IO_BLOCK)) {
        if (WriteAll(ws_.out_handle, data, IO_BLOCK, status_) != 0) {
          std::memcpy(ws_.out_buf, data, IO_BLOCK);
          ws_.out_count = IO_BLOCK;
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
  Workspace& ws_;
  StreamStatus& status_;
};

}  // namespace lzring

#endif  // LZRING_IO_FILE_STREAM_H
