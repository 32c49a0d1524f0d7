// The streaming functions of lzring::codec: the codec loops over the file
// streams of the C entry points, either attached to descriptors the caller
// owns or opened from paths with the same checks as _Encode and _Decode.
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>
#include <type_traits>

#include "api/codec_state.h"
#include "api/observed_stream.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "io/file_stream.h"
#include "io/memory_stream.h"
#include "io/platform_file.h"
#include "lzring/lzring.hpp"

namespace lzring {
namespace {

std::error_code ErrnoCode(int value) {
  return value == 0 ? std::error_code() : std::error_code(value, std::generic_category());
}

stream_result MakeResult(const StreamStatus& status, const StreamCounts& counts, bool ok) {
  stream_result result;
  result.bytes_in = counts.in;
  result.bytes_out = counts.out;
  result.read_error = ErrnoCode(status.read_error);
  result.write_error = ErrnoCode(status.write_error);
  // Every failing path records its errno; this only guards against a failure
  // that would otherwise be reported as success.
  if (!ok && !result.read_error && !result.write_error) result.write_error = ErrnoCode(EIO);
  return result;
}

// Runs `loop` from the source already attached to `ws` into its destination
// and writes the last partial block. A failed write ends the loop at once; a
// failed read ends the input, and is reported once the output so far is out.
template <class Loop>
stream_result RunAttached(Workspace& ws, StreamStatus& status, const progress_fn& progress,
                          Loop&& loop) {
  StreamCounts counts;
  ObservedFileSource source(ws, status, counts, progress);
  FileSink file_sink(ws, status);
  CountedSink<FileSink> sink(file_sink, counts);
  const bool ok = loop(source, sink) && FlushOutput(ws, status) == 0 && status.read_error == 0;
  return MakeResult(status, counts, ok);
}

// Decodes the attached source into a byte counter: nothing is written.
stream_result MeasureAttached(Workspace& ws, StreamStatus& status, const progress_fn& progress) {
  StreamCounts counts;
  ObservedFileSource source(ws, status, counts, progress);
  CountingSink counter;
  CountedSink<CountingSink> sink(counter, counts);
  DecodeStream(ws, source, sink);
  return MakeResult(status, counts, status.read_error == 0);
}

// A path in the 8-bit form the platform file layer takes. Where paths are
// wide (Windows) the conversion allocates and may meet a name the code page
// cannot spell; the functions that take paths are noexcept, so that is an
// error value here (error()), never an exception.
class NarrowPath {
 public:
  // A template, so that only the branch for this platform's paths is built.
  template <class Path>
  explicit NarrowPath(const Path& p) noexcept {
    if constexpr (std::is_same_v<typename Path::value_type, char>) {
      ptr_ = p.c_str();
    } else {
      try {
        copy_ = p.string();
        ptr_ = copy_.c_str();
      } catch (const std::bad_alloc&) {
        error_ = ENOMEM;
      } catch (...) {
        error_ = EILSEQ;
      }
    }
  }
  const char* c_str() const { return ptr_; }
  int error() const { return error_; }

 private:
  std::string copy_;
  const char* ptr_ = nullptr;
  int error_ = 0;
};

template <class Loop>
stream_result RunOnDescriptors(Workspace& ws, int in_fd, int out_fd, const progress_fn& progress,
                               Loop&& loop) {
  StreamStatus status;
  AttachFilePair(ws, FileFromDescriptor(in_fd), FileFromDescriptor(out_fd));
  return RunAttached(ws, status, progress, loop);
}

template <class Loop>
stream_result RunOnPaths(Workspace& ws, const std::filesystem::path& source,
                         const std::filesystem::path& destination, const progress_fn& progress,
                         Loop&& loop) {
  StreamStatus status;
  const NarrowPath from(source);
  const NarrowPath to(destination);
  status.read_error = from.error();
  status.write_error = to.error();
  // OpenFilePair refuses a directory source and a destination that is the
  // source itself, before anything is created or truncated.
  if (from.error() != 0 || to.error() != 0 ||
      OpenFilePair(ws, from.c_str(), to.c_str(), status) != 0) {
    return MakeResult(status, StreamCounts{}, false);
  }
  stream_result result = RunAttached(ws, status, progress, loop);
  if (CloseFilePair(ws, status) != 0 && !result.write_error) {
    result.write_error = ErrnoCode(status.write_error);
  }
  return result;
}

}  // namespace

stream_result codec::compress_fd(int in_fd, int out_fd, const progress_fn& progress) noexcept {
  Workspace& ws = state_->ws;
  return RunOnDescriptors(ws, in_fd, out_fd, progress, [&ws, this](auto& in, auto& out) {
    return EncodeStream(ws, state_->runs, in, out);
  });
}

stream_result codec::expand_fd(int in_fd, int out_fd, const progress_fn& progress) noexcept {
  Workspace& ws = state_->ws;
  return RunOnDescriptors(ws, in_fd, out_fd, progress,
                          [&ws](auto& in, auto& out) { return DecodeStream(ws, in, out); });
}

bounded_result codec::expand_fd_bounded(int in_fd, int out_fd, std::uint64_t limit,
                                        const progress_fn& progress) noexcept {
  Workspace& ws = state_->ws;
  StreamStatus status;
  AttachFilePair(ws, FileFromDescriptor(in_fd), FileFromDescriptor(out_fd));
  StreamCounts counts;
  ObservedFileSource source(ws, status, counts, progress);
  FileSink sink(ws, status);
  DecoderState st;
  const DecodeStatus decoded = DecodeBounded(ws, st, source, sink, limit);
  const bool ok = decoded != DecodeStatus::kSinkFailed && FlushOutput(ws, status) == 0 &&
                  status.read_error == 0;
  const stream_result io = MakeResult(status, counts, ok);
  bounded_result result;
  result.bytes_out = Produced(st);
  result.bytes_used = st.used;
  result.ended = decoded == DecodeStatus::kEnded;
  result.read_error = io.read_error;
  result.write_error = io.write_error;
  return result;
}

stream_result codec::measure_fd(int in_fd, const progress_fn& progress) noexcept {
  StreamStatus status;
  AttachFilePair(state_->ws, FileFromDescriptor(in_fd), kBadHandle);
  return MeasureAttached(state_->ws, status, progress);
}

stream_result codec::compress_file(const std::filesystem::path& source,
                                   const std::filesystem::path& destination,
                                   const progress_fn& progress) noexcept {
  Workspace& ws = state_->ws;
  return RunOnPaths(ws, source, destination, progress, [&ws, this](auto& in, auto& out) {
    return EncodeStream(ws, state_->runs, in, out);
  });
}

stream_result codec::expand_file(const std::filesystem::path& source,
                                 const std::filesystem::path& destination,
                                 const progress_fn& progress) noexcept {
  Workspace& ws = state_->ws;
  return RunOnPaths(ws, source, destination, progress,
                    [&ws](auto& in, auto& out) { return DecodeStream(ws, in, out); });
}

stream_result codec::measure_file(const std::filesystem::path& source,
                                  const progress_fn& progress) noexcept {
  StreamStatus status;
  const NarrowPath path(source);
  const FileHandle handle = path.error() != 0 ? kBadHandle : FileOpenRead(path.c_str());
  if (handle == kBadHandle) {
    status.read_error = path.error() != 0 ? path.error() : FileLastError();
    return MakeResult(status, StreamCounts{}, false);
  }
  AttachFilePair(state_->ws, handle, kBadHandle);
  stream_result result = MeasureAttached(state_->ws, status, progress);
  FileClose(handle);
  return result;
}

}  // namespace lzring
