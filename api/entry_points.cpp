// The three exported entry points. They share one static Workspace and are
// serialised by a process-wide lock, so a host may call them from several
// threads; calls simply take turns.
#include <cstdint>

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

}  // namespace
}  // namespace lzring

using lzring::CallLock;
using lzring::g_runs;
using lzring::g_workspace;

extern "C" LZRING_API std::int32_t LZRING_CALL _Encode(const char* source_path,
                                                       const char* destination_path) {
  CallLock lock;
  lzring::StreamStatus status;
  return lzring::RunCallFrame(g_workspace, source_path, destination_path, status,
                              [](lzring::FileSource& in, lzring::FileSink& out) {
                                return lzring::EncodeStream(g_workspace, g_runs, in, out);
                              });
}

extern "C" LZRING_API std::int32_t LZRING_CALL _Decode(const char* source_path,
                                                       const char* destination_path) {
  CallLock lock;
  lzring::StreamStatus status;
  return lzring::RunCallFrame(g_workspace, source_path, destination_path, status,
                              [](lzring::FileSource& in, lzring::FileSink& out) {
                                return lzring::DecodeStream(g_workspace.ring, in, out);
                              });
}

extern "C" LZRING_API std::int32_t LZRING_CALL _GetFileSize(const char* path) {
  if (path == nullptr) return -1;
  CallLock lock;
  g_workspace.in_handle = lzring::FileOpenRead(path);
  if (g_workspace.in_handle == lzring::kBadHandle) return -1;
  const std::int64_t size = lzring::FileSeekEnd(g_workspace.in_handle);
  lzring::FileClose(g_workspace.in_handle);
  // The result is 32-bit: a size that does not fit is a failure, not a
  // wrapped value.
  return size < 0 || size > INT32_MAX ? -1 : static_cast<std::int32_t>(size);
}
