// Adapters that let the streaming functions of the C++ API count the bytes
// moved and report progress, while the codec loops still see a source and a
// sink of the usual shape (see streams/file_stream.h).
//
// Counting happens where the wrapped stream already branches: once per
// source block read, and one addition per output byte or committed run.
#ifndef LZRING_API_OBSERVED_STREAM_H
#define LZRING_API_OBSERVED_STREAM_H

#include <cstddef>
#include <cstdint>

#include "api/workspace.h"
#include "codec/byte_source_sink.h"
#include "lzring/lzring.hpp"
#include "streams/file_stream.h"

namespace lzring {

// Bytes moved so far by one streaming call.
struct StreamCounts {
  std::uint64_t in = 0;
  std::uint64_t out = 0;
};

// A FileSource that adds every block it reads to `counts.in` and then calls
// `progress`. Blocks are read only inside Next() (the fast paths of the
// loops take bytes of the current block through Data/Advance), so that is
// the one place that needs to look.
class ObservedFileSource {
 public:
  ObservedFileSource(Workspace& ws, StreamStatus& status, StreamCounts& counts,
                     const progress_fn& progress)
      : ws_(ws), inner_(ws, status), counts_(counts), progress_(progress) {}

  bool Next(std::uint8_t& b) {
    if (ws_.in_pos != 0) return inner_.Next(b);
    const bool got = inner_.Next(b);
    if (got) {
      counts_.in += static_cast<std::uint64_t>(ws_.in_count);
      if (progress_) progress_(counts_.in, counts_.out);
    }
    return got;
  }
  std::size_t Available() const { return inner_.Available(); }
  const std::uint8_t* Data() const { return inner_.Data(); }
  void Advance(std::size_t n) { inner_.Advance(n); }

 private:
  Workspace& ws_;
  FileSource inner_;
  StreamCounts& counts_;
  const progress_fn& progress_;
};

// Any sink, with the bytes it accepted added to `counts.out`.
template <class Sink>
class CountedSink {
 public:
  CountedSink(Sink& inner, StreamCounts& counts) : inner_(inner), counts_(counts) {}

  bool Put(std::uint8_t b) {
    ++counts_.out;
    return inner_.Put(b);
  }
  std::size_t Room() { return inner_.Room(); }
  std::uint8_t* Space() { return inner_.Space(); }
  bool Commit(std::size_t n) {
    counts_.out += n;
    return inner_.Commit(n);
  }

 private:
  Sink& inner_;
  StreamCounts& counts_;
};

// The stream layer's file source and sink, which cannot see the codec's
// concepts themselves, have the shape the codec loops take, and so do
// these adapters.
static_assert(ByteSource<FileSource> && ByteSource<ObservedFileSource>);
static_assert(ByteSink<FileSink> && BulkByteSink<FileSink>);
static_assert(ByteSink<CountedSink<FileSink>>);

}  // namespace lzring

#endif  // LZRING_API_OBSERVED_STREAM_H
