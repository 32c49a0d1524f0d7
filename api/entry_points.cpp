// The three exported entry points. _Encode and _Decode share one static
// Workspace and are serialised by a process-wide lock, so a host may call
// them from several threads; calls simply take turns. _GetFileSize needs no
// shared state and does not take the lock, so it answers at once even while
// another thread's call waits on a slow file.
#include <cstdint>
#include <mutex>

#include "api/call_frame.h"
#include "api/workspace.h"
#include "codec/decode_loop.h"
#include "codec/encode_loop.h"
#include "lzring.h"
#include "platform/platform_file.h"

namespace lzring {
namespace {

// Zero at load like the rest of the module's static data; never freed.
Workspace g_workspace;
// The encoder's index of long runs in the match trees, beside it.
RunIndex g_runs;
// The lock that _Encode and _Decode take turns on.
CallLock g_calls;

}  // namespace
}  // namespace lzring

using lzring::CallLock;
using lzring::g_calls;
using lzring::g_runs;
using lzring::g_workspace;

extern "C" LZRING_API std::int32_t LZRING_CALL _Encode(const char* source_path,
                                                       const char* destination_path) {
  const std::lock_guard<CallLock> held(g_calls);
  lzring::StreamStatus status;
  return lzring::RunCallFrame(g_workspace, source_path, destination_path, status,
                              [](lzring::FileSource& in, lzring::FileSink& out) {
                                return lzring::EncodeStream(g_workspace, g_runs, in, out);
                              });
}

extern "C" LZRING_API std::int32_t LZRING_CALL _Decode(const char* source_path,
                                                       const char* destination_path) {
  const std::lock_guard<CallLock> held(g_calls);
  lzring::StreamStatus status;
  return lzring::RunCallFrame(g_workspace, source_path, destination_path, status,
                              [](lzring::FileSource& in, lzring::FileSink& out) {
                                return lzring::DecodeStream(g_workspace.ring, in, out);
                              });
}

// Measures a regular file. What is not one (a FIFO, a device) has no size to
// tell and is refused without waiting for it; the handle is the call's own,
// not the Workspace's, so that the call need not wait for the lock either.
extern "C" LZRING_API std::int32_t LZRING_CALL _GetFileSize(const char* path) {
  if (path == nullptr) return -1;
  const lzring::FileHandle file = lzring::FileOpenRegular(path);
  if (file == lzring::kBadHandle) return -1;
  const std::int64_t size = lzring::FileSeekEnd(file);
  lzring::FileClose(file);
  // The result is 32-bit: a size that does not fit is a failure, not a
  // wrapped value.
  return size < 0 || size > INT32_MAX ? -1 : static_cast<std::int32_t>(size);
}
