// The parts of the file streams that run once per block or once per call.
#include "io/file_stream.h"

#include <cerrno>

namespace lzring {

void ReadBlock(Workspace& ws, StreamStatus& status) {
  const std::int32_t n = FileRead(ws.in_handle, ws.in_buf, IO_BLOCK);
  if (n < 1) {
    if (n < 0) status.read_error = FileLastError();
    ws.in_eof = 1;
    return;
  }
  ws.in_count = n;
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

int FlushOutput(Workspace& ws, StreamStatus& status) {
  if (ws.out_count == 0) return 0;
  if (WriteAll(ws.out_handle, ws.out_buf, ws.out_count, status) != 0) return -1;
  ws.out_count = 0;
  return 0;
}

int CloseFilePair(Workspace& ws, StreamStatus& status) {
  FileClose(ws.in_handle);
  if (FileClose(ws.out_handle) == 0) return 0;
  if (status.write_error == 0) status.write_error = FileLastError();
  return -1;
}

}  // namespace lzring
