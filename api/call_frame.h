// The frame that _Encode and _Decode share: open the file pair, run a codec
// loop over it, flush, close, and report 0 or -1.
#ifndef LZRING_API_CALL_FRAME_H
#define LZRING_API_CALL_FRAME_H

#include <cstdint>

#include "api/workspace.h"
#include "streams/file_stream.h"

namespace lzring {

// Runs `loop(source, sink)` between OpenFilePair and CloseFilePair. The loop
// returns false when the sink failed; the call then ends at once with -1 and
// the destination keeps the full blocks written before. A failed read, or a
// failed close of the destination, also makes the call fail, after the
// normal ending. `status` receives the error
// codes met.
template <class Loop>
std::int32_t RunCallFrame(Workspace& ws, const char* source_path, const char* destination_path,
                          StreamStatus& status, Loop&& loop) {
  if (source_path == nullptr || destination_path == nullptr) return -1;
  if (OpenFilePair(ws, source_path, destination_path, status) != 0) return -1;
  FileSource source(ws, status);
  FileSink sink(ws, status);
  if (!loop(source, sink)) {
    CloseFilePair(ws, status);
    return -1;
  }
  const int flushed = FlushOutput(ws, status);
  const int closed = CloseFilePair(ws, status);
  return flushed != 0 || closed != 0 || status.read_error != 0 ? -1 : 0;
}

}  // namespace lzring

#endif  // LZRING_API_CALL_FRAME_H
