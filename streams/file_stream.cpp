// The parts of the file streams that run once per block or once per call.
#include "streams/file_stream.h"

#include <cerrno>

namespace lzring {

void ReadBlock(FilePair& pair, StreamStatus& status) {
  const std::int32_t n = FileRead(pair.in_handle, pair.in_buf, IO_BLOCK);
  if (n < 1) {
    if (n < 0) status.read_error = FileLastError();
    pair.in_eof = 1;
    return;
  }
  pair.in_count = n;
}

int WriteAll(FileHandle handle, const std::uint8_t* data, std::int32_t count,
             StreamStatus& status) {
  while (count > 0) {
    const std::int32_t n = FileWrite(handle, data, count);
    if (n < 1) {
      // A write that makes no progress would otherwise loop for ever.
      status.write_error = n < 0 ? FileLastError() : EIO;
      return -1;
    }
    data += n;
    count -= n;
  }
  return 0;
}

int FlushOutput(FilePair& pair, StreamStatus& status) {
  if (pair.out_count == 0) return 0;
  if (WriteAll(pair.out_handle, pair.out_buf, pair.out_count, status) != 0) return -1;
  pair.out_count = 0;
  return 0;
}

int CloseFilePair(FilePair& pair, StreamStatus& status) {
  FileClose(pair.in_handle);
  if (FileClose(pair.out_handle) == 0) return 0;
  if (status.write_error == 0) status.write_error = FileLastError();
  return -1;
}

}  // namespace lzring
