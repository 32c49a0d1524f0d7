// The streaming functions of lzring::codec: the codec loops over the file
// streams of the C entry points, either attached to descriptors the caller
// owns or opened from paths with the same checks as _Encode and _Decode.
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <system_error>

#include "api/codec_object_state.h"
#include "api/observed_stream.h"
#include "codec/decode_loop.h"
#include "codec/encode_loop.h"
#include "codec/memory_sinks.h"
#include "lzring/lzring.hpp"
#include "platform/platform_file.h"
#include "streams/file_stream.h"

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
  DecodeStream(ws.ring, source, sink);
  return MakeResult(status, counts, status.read_error == 0);
}

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
  // The paths in the platform's own characters (wide on Windows), so that
  // every name works. OpenFilePair refuses a directory source and a
  // destination that is the source itself, before anything is created or
  // truncated.
  if (OpenFilePair(ws, source.c_str(), destination.c_str(), status) != 0) {
    return MakeResult(status, StreamCounts{}, false);
  }
  stream_result result = RunAttached(ws, status, progress, loop);
  if (CloseFilePair(ws, status) != 0 && !result.write_error) {
    result.write_error = ErrnoCode(status.write_error);
  }
  return result;
}

}  // namespace

namespace {

// What a call on a moved-from codec returns: EINVAL, nothing read or
// written.
template <class Result>
Result MovedFrom() {
  Result result;
  result.read_error = std::make_error_code(std::errc::invalid_argument);
  return result;
}

// Compresses through `run`, a RunOnDescriptors or RunOnPaths call that
// takes the codec loop. Pieces for several threads that cannot be
// allocated fail the call with ENOMEM as the write error: no output could
// be made.
template <class Run>
stream_result CompressThrough(codec::state& st, Run&& run) {
  int setup = 0;
  stream_result result = run([&st, &setup](auto& in, auto& out) {
    const int status = st.Compress(in, out, UINT64_MAX);
    if (status > 0) setup = status;
    return status == 0;
  });
  if (setup != 0) result.write_error = ErrnoCode(setup);
  return result;
}

}  // namespace

stream_result codec::compress_fd(int in_fd, int out_fd, const progress_fn& progress) noexcept {
  if (!state_) return MovedFrom<stream_result>();
  return CompressThrough(*state_, [&](auto&& loop) {
    return RunOnDescriptors(state_->ws, in_fd, out_fd, progress, loop);
  });
}

stream_result codec::expand_fd(int in_fd, int out_fd, const progress_fn& progress) noexcept {
  if (!state_) return MovedFrom<stream_result>();
  Workspace& ws = state_->ws;
  return RunOnDescriptors(ws, in_fd, out_fd, progress,
                          [&ws](auto& in, auto& out) { return DecodeStream(ws.ring, in, out); });
}

bounded_result codec::expand_fd_bounded(int in_fd, int out_fd, std::uint64_t limit,
                                        const progress_fn& progress) noexcept {
  if (!state_) return MovedFrom<bounded_result>();
  Workspace& ws = state_->ws;
  StreamStatus status;
  AttachFilePair(ws, FileFromDescriptor(in_fd), FileFromDescriptor(out_fd));
  StreamCounts counts;
  ObservedFileSource source(ws, status, counts, progress);
  FileSink sink(ws, status);
  DecoderState st;
  const DecodeStatus decoded = DecodeBounded(ws.ring, st, source, sink, limit);
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
  if (!state_) return MovedFrom<stream_result>();
  StreamStatus status;
  AttachFilePair(state_->ws, FileFromDescriptor(in_fd), kBadHandle);
  return MeasureAttached(state_->ws, status, progress);
}

stream_result codec::compress_file(const std::filesystem::path& source,
                                   const std::filesystem::path& destination,
                                   const progress_fn& progress) noexcept {
  if (!state_) return MovedFrom<stream_result>();
  return CompressThrough(*state_, [&](auto&& loop) {
    return RunOnPaths(state_->ws, source, destination, progress, loop);
  });
}

stream_result codec::expand_file(const std::filesystem::path& source,
                                 const std::filesystem::path& destination,
                                 const progress_fn& progress) noexcept {
  if (!state_) return MovedFrom<stream_result>();
  Workspace& ws = state_->ws;
  return RunOnPaths(ws, source, destination, progress,
                    [&ws](auto& in, auto& out) { return DecodeStream(ws.ring, in, out); });
}

stream_result codec::measure_file(const std::filesystem::path& source,
                                  const progress_fn& progress) noexcept {
  if (!state_) return MovedFrom<stream_result>();
  StreamStatus status;
  const FileHandle handle = FileOpenRead(source.c_str());
  if (handle == kBadHandle) {
    status.read_error = FileLastError();
    return MakeResult(status, StreamCounts{}, false);
  }
  AttachFilePair(state_->ws, handle, kBadHandle);
  stream_result result = MeasureAttached(state_->ws, status, progress);
  FileClose(handle);
  return result;
}

}  // namespace lzring
