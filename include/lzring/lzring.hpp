// lzring C++ API: compress and expand in memory, over file descriptors and
// over paths, or piece by piece with the encoder and decoder objects, with
// the same codec that serves the C entry points of <lzring.h>. Every
// function here produces exactly the bytes that _Encode writes for the same
// source, on any number of threads, and accepts everything _Decode accepts;
// the one exception is compression with `best` chosen (codec::set_best,
// encoder's `best`), which writes the smallest stream instead.
//
// The smallest stream: among all the streams that expand to the source,
// one of the fewest bytes (an optimal parse over every reference a decoder
// can resolve). It is for data that a fixed decoder reads later: every
// decoder of the format, _Decode included, expands it, but its bytes are
// not _Encode's. It is a few percent smaller on text and binary data (about
// 3.5% on English text) and takes about a third longer to make on text; the
// same source always gives the same bytes, on every platform, whatever the
// number of threads and however the source arrives. On two threads or more
// it uses one thread besides the calling one, which finds the matches of
// the next 64 KiB while the calling thread parses the last.
//
// Threads: a `codec` object owns its working state (about 230 KiB, allocated
// once when it is constructed). One object must not be used by several
// threads at once; different threads may use different objects at the same
// time without any locking. The free functions build a codec of their own on
// each call and may be called from any thread. Compression can also spread
// one source over several threads (codec(unsigned), encoder's `threads`):
// the object starts them, and allocates their state (about 3 MB for two
// threads, 0.25 MB more for each further one), at its first call that uses
// them, and keeps both for its later calls, the threads waiting between
// calls without using the processor; they end when the object is
// destroyed, or at the next call after set_threads() lowers the count. A
// process that forks must not use in the child an object whose threads
// were started in the parent.
//
// Errors: failures are reported as std::error_code values holding the errno
// value of the failed operation (generic category, so they compare equal to
// std::errc constants). Overloads without an error_code parameter throw
// std::system_error instead. Nothing is printed.
#ifndef LZRING_LZRING_HPP
#define LZRING_LZRING_HPP

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#if defined(_WIN32) && !defined(LZRING_CXX_STATIC)
#if defined(LZRING_CXX_BUILDING)
#define LZRING_CXX_API __declspec(dllexport)
#else
#define LZRING_CXX_API __declspec(dllimport)
#endif
#elif defined(_WIN32)
#define LZRING_CXX_API
#else
#define LZRING_CXX_API __attribute__((visibility("default")))
#endif

namespace lzring {

// Largest compressed size of `n` source bytes: every byte a literal plus one
// flag byte per eight of them, n + ceil(n / 8). A buffer of this size always
// holds the compressed form of n bytes. Where that does not fit in 64 bits
// (n above 16,397,105,843,297,379,213) it saturates at UINT64_MAX.
constexpr std::uint64_t compress_bound(std::uint64_t n) noexcept {
  const std::uint64_t flags = n / 8 + (n % 8 != 0 ? 1 : 0);
  return n > UINT64_MAX - flags ? UINT64_MAX : n + flags;
}

// The earlier name of compress_bound, kept for the callers that use it.
constexpr std::uint64_t encode_bound(std::uint64_t n) noexcept {
  return compress_bound(n);
}

// Largest expanded size of `n` compressed bytes, reached by a stream of
// references of 18 bytes: a whole group (a flag byte and eight references,
// 17 bytes) gives 144, and the r bytes left after the last whole group (a
// flag byte and r - 1 unit bytes) give 18 for each two of those and 1 for an
// odd one (a literal), since a unit cut short gives nothing. A buffer of this
// size always holds the expansion of n bytes. Where that does not fit in 64
// bits (n above 2,177,740,619,812,933,177) it saturates at UINT64_MAX.
constexpr std::uint64_t expand_bound(std::uint64_t n) noexcept {
  const std::uint64_t groups = n / 17;
  const std::uint64_t units = n % 17 == 0 ? 0 : n % 17 - 1;
  const std::uint64_t tail = units / 2 * 18 + units % 2;
  if (groups > (UINT64_MAX - tail) / 144) return UINT64_MAX;
  return groups * 144 + tail;
}

// Called by the streaming functions after each block read from the source,
// with the source bytes read and the output bytes produced so far. It must
// not throw; it may be empty.
using progress_fn = std::function<void(std::uint64_t bytes_in, std::uint64_t bytes_out)>;

// Outcome of a streaming call. Both errors are empty on success; at least one
// is set when the call failed.
struct stream_result {
  std::uint64_t bytes_in = 0;   // source bytes read
  std::uint64_t bytes_out = 0;  // output bytes produced (all written when the call succeeded)
  std::error_code read_error;   // opening or reading the source failed
  std::error_code write_error;  // creating or writing the destination failed

  explicit operator bool() const noexcept { return !read_error && !write_error; }
  std::error_code error() const noexcept { return read_error ? read_error : write_error; }
  // Throws std::system_error carrying error(), prefixed with `what`, when the
  // call failed; does nothing otherwise.
  void throw_if_failed(const std::string& what) const {
    if (!*this) throw std::system_error(error(), what);
  }
};

// Outcome of a bounded expansion: at most a given number of output bytes
// from a stream that may be followed by other data (see
// codec::expand_bounded). The stream ends where the unit that produced the
// last byte ends; bytes_used tells where that is.
struct bounded_result {
  std::uint64_t bytes_out = 0;   // output bytes produced: the limit, or fewer if `ended`
  std::uint64_t bytes_used = 0;  // compressed bytes up to the end of the unit that
                                 // produced the last output byte
  bool ended = false;            // the input ended before the limit was reached
  std::error_code read_error;    // descriptors: reading the source failed; in memory:
                                 // std::errc::invalid_argument (overlapping spans,
                                 // moved-from codec)
  std::error_code write_error;   // descriptors: writing the destination failed

  // True when all `limit` bytes were produced (and written) without error.
  explicit operator bool() const noexcept { return !ended && !read_error && !write_error; }
};

// One compressor/expander with its own working state. Not copyable; movable.
// A moved-from codec stays valid but has no working state: its calls fail
// with std::errc::invalid_argument (thrown as std::system_error by the
// forms without an error_code; threads(), threads_not_started() and
// expanded_size() give 0) until
// a codec is assigned to it.
class LZRING_CXX_API codec {
 public:
  // Allocates the working state; throws std::bad_alloc when that fails.
  // Compresses on the calling thread alone.
  codec();
  // As codec(), compressing on `threads` threads: 1 is the calling thread
  // alone, 0 one thread per processor, N up to N threads (at most 64) that
  // share the work of the match trees, the calling thread one of them (it
  // also reads and writes). The output is the same whatever the number; sources too short
  // or too uniform to gain (nearly all one byte value) are compressed on the
  // calling thread; the thread policy (codec/parallel/thread_policy.h:
  // TooShortForThreads, WorkersPay, WorkersGoOn) decides again at every
  // piece of a source, whose size FirstPieceSize and NextPieceSize set. A thread that
  // cannot be started is done without: the call goes on with the threads
  // it has, down to the calling thread alone, with the same output, and
  // only threads_not_started() tells. Expansion always runs on the calling
  // thread.
  explicit codec(unsigned threads);
  // Changes the number of threads for later calls; 0 as above.
  void set_threads(unsigned threads) noexcept;
  // The number of threads compression may use (0 resolved to the processors).
  unsigned threads() const noexcept;
  // With `best`, later compression calls write the smallest stream (see the
  // top of this file) instead of _Encode's bytes, on up to two of the
  // object's threads; its working arrays (about 1.3 MiB, 1.6 MiB on two
  // threads) and its thread are allocated and started by each call, which
  // fails as when the pieces for several threads cannot be allocated. Off
  // by default.
  void set_best(bool best) noexcept;
  bool best() const noexcept;
  // The threads that this object's compression calls wanted but could not
  // start (or allocate the state of), summed over its calls so far.
  std::uint64_t threads_not_started() const noexcept;
  ~codec();
  codec(codec&& other) noexcept;
  codec& operator=(codec&& other) noexcept;
  codec(const codec&) = delete;
  codec& operator=(const codec&) = delete;

  // ---- In memory -------------------------------------------------------

  // Returns the compressed form of `in`. Throws only std::bad_alloc.
  std::vector<std::uint8_t> compress(std::span<const std::uint8_t> in);
  // Replaces the contents of `out` with the compressed form of `in`, reusing
  // its capacity. `in` may be a view of `out` (it is then copied first).
  // Throws as above.
  void compress(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out);
  // Compresses `in` into `out` and returns the compressed size. When `out`
  // is too small, sets `ec` to std::errc::no_buffer_space and returns 0 (the
  // contents of `out` are then unspecified); an `out` of compress_bound(size)
  // bytes never is. Spans that share any byte are refused with
  // std::errc::invalid_argument, before `out` is written; std::errc::
  // not_enough_memory tells that the pieces for several threads could not
  // be allocated.
  std::size_t compress_into(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                            std::error_code& ec) noexcept;
  // As above, throwing std::system_error instead of setting `ec`.
  std::size_t compress_into(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

  // Returns the expansion of `in`. Every byte sequence is valid compressed
  // input. Throws only std::bad_alloc.
  std::vector<std::uint8_t> expand(std::span<const std::uint8_t> in);
  // Replaces the contents of `out` with the expansion of `in`, reusing its
  // capacity. `in` may be a view of `out` (it is then copied first). Throws
  // only std::bad_alloc.
  void expand(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out);
  // Expands `in` into `out` and returns the expanded size. When `out` is too
  // small, sets `ec` to std::errc::no_buffer_space and returns 0;
  // expanded_size(in) tells the size needed. Spans that share any byte are
  // refused with std::errc::invalid_argument, before `out` is written.
  std::size_t expand_into(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                          std::error_code& ec) noexcept;
  // As above, throwing std::system_error instead of setting `ec`.
  std::size_t expand_into(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

  // Returns the size that expand(in) would produce, without keeping the
  // output.
  std::uint64_t expanded_size(std::span<const std::uint8_t> in) noexcept;

  // Expands the stream at the start of `in` into `out` and stops after
  // out.size() bytes, whatever follows the stream in `in`. bytes_used tells
  // where the stream ended; `ended` that `in` ended first (bytes_out is then
  // short of out.size()). Spans that share any byte are refused with
  // read_error std::errc::invalid_argument, before `out` is written.
  bounded_result expand_bounded(std::span<const std::uint8_t> in,
                                std::span<std::uint8_t> out) noexcept;

  // ---- Over open file descriptors --------------------------------------
  // The descriptors stay open and belong to the caller. The source is read
  // to its end and the output written from the current offsets, in blocks of
  // 4096 bytes, so pipes, sockets and terminals work; a non-blocking
  // descriptor that has no data fails with EAGAIN. A failed write ends the
  // call at once; a failed read ends it after the output so far is written.
  // On Windows the descriptors are those of the C runtime msvcrt.dll (from
  // _open, _fileno or _open_osfhandle in a MinGW-w64 program); the calls use
  // their Win32 handles directly, so text or binary mode does not matter, and
  // a pipe whose writer has gone ends the source as its end of file.

  // Compresses everything readable from `in_fd` into `out_fd`. With
  // several threads, ENOMEM as write_error tells that their pieces could
  // not be allocated, before anything is read.
  stream_result compress_fd(int in_fd, int out_fd, const progress_fn& progress = {}) noexcept;
  // Expands everything readable from `in_fd` into `out_fd`.
  stream_result expand_fd(int in_fd, int out_fd, const progress_fn& progress = {}) noexcept;
  // Expands the stream that starts at the current offset of `in_fd` into
  // `out_fd` and stops after `limit` output bytes. The source is read ahead
  // in blocks: bytes_used, not the descriptor's offset, tells where the
  // stream ended.
  bounded_result expand_fd_bounded(int in_fd, int out_fd, std::uint64_t limit,
                                   const progress_fn& progress = {}) noexcept;
  // Reads a compressed stream from `in_fd` and reports its expanded size in
  // bytes_out, writing nothing.
  stream_result measure_fd(int in_fd, const progress_fn& progress = {}) noexcept;

  // ---- Over paths ------------------------------------------------------
  // The source must exist and not be a directory; the destination is created
  // or truncated, and must not be the source itself (EINVAL, nothing
  // touched). A failed call may leave a partial destination; a source that
  // cannot be opened leaves the destination untouched.

  // Compresses the file `source` into `destination`.
  stream_result compress_file(const std::filesystem::path& source,
                              const std::filesystem::path& destination,
                              const progress_fn& progress = {}) noexcept;
  // Expands the compressed file `source` into `destination`.
  stream_result expand_file(const std::filesystem::path& source,
                            const std::filesystem::path& destination,
                            const progress_fn& progress = {}) noexcept;
  // Reports the expanded size of the compressed file `source` in bytes_out.
  stream_result measure_file(const std::filesystem::path& source,
                             const progress_fn& progress = {}) noexcept;

  struct state;  // the working state; defined inside the library

 private:
  std::unique_ptr<state> state_;
};

// ---- Piece by piece ------------------------------------------------------
//
// The encoder and decoder take their input in pieces of any size (one byte,
// or none, as well as megabytes) and give exactly the bytes that the one-shot
// functions give for all the pieces joined. Their output goes either to a
// sink function, called with each run of bytes as it is produced, or, without
// one, into a buffer inside the object that the caller drains with output()
// and consume() (or read()). Output is produced as the input allows, so
// drain it after each write. A piece may be a view of the object's own
// output (it is then copied first). An object works on one stream at a time
// and must not be used by several threads at once; separate objects may.
// Both are movable; a moved-from object stays valid and failed (failed()
// true, write() and finish() false, no output) until one is assigned to it.
//
// Errors: a sink that returns false fails the object; a sink that throws
// fails it and its exception comes out of write() or finish(). Either may
// also throw std::bad_alloc. A failed object ignores further input and
// reports false until reset().

// Receives output bytes. Returns false when it could not take them.
using sink_fn = std::function<bool(std::span<const std::uint8_t> bytes)>;

// Compresses a source that arrives in pieces. The format has no way to end
// a group early, so output lags the input (the pieces are gathered into runs
// of the thread policy's piece size: FirstPieceSize, and on several threads
// up to NextPieceSize's, in codec/parallel/thread_policy.h) until finish().
class LZRING_CXX_API encoder {
 public:
  // Output goes to `sink`, or into the object when `sink` is empty.
  // Allocates the working state (about 300 KiB). With `threads` other than
  // 1, compresses on that many threads as codec(unsigned) does, gathering
  // the source into pieces as the thread policy says; the output is the
  // same, and a thread that cannot be started is done without.
  explicit encoder(sink_fn sink = {}, unsigned threads = 1);
  // As above; with `best`, the stream is the smallest one (see the top of
  // this file), the same bytes on any number of threads (it uses up to
  // two), and the source is gathered into pieces of 64 KiB, plus 4 KiB
  // beyond them that the next piece's units depend on (one piece more on
  // two threads). Its working state is about 1.6 MiB (1.9 MiB on two
  // threads), allocated at the first write or finish().
  encoder(sink_fn sink, unsigned threads, bool best);
  ~encoder();
  encoder(encoder&& other) noexcept;
  encoder& operator=(encoder&& other) noexcept;
  encoder(const encoder&) = delete;
  encoder& operator=(const encoder&) = delete;

  // Takes the next piece of the source. False when the object has failed or
  // was finished.
  bool write(std::span<const std::uint8_t> piece);
  // Ends the source and delivers the rest of the compressed stream. False
  // when the object has failed.
  bool finish();
  // Starts a new stream with the same sink; drops output not yet taken.
  void reset();

  // The compressed bytes produced and not yet taken (without a sink).
  std::span<const std::uint8_t> output() const noexcept;
  // Drops the first `n` bytes of output() (at most its size).
  void consume(std::size_t n) noexcept;
  // Copies up to out.size() bytes of output() into `out` and drops them.
  std::size_t read(std::span<std::uint8_t> out) noexcept;

  std::uint64_t bytes_in() const noexcept;   // source bytes taken
  std::uint64_t bytes_out() const noexcept;  // compressed bytes produced
  bool failed() const noexcept;
  bool finished() const noexcept;
  // The threads wanted but not started since the object was made (see
  // codec::threads_not_started()).
  std::uint64_t threads_not_started() const noexcept;

  struct state;  // defined inside the library

 private:
  std::unique_ptr<state> state_;
};

// Expands a compressed stream that arrives in pieces, whole or up to a given
// number of output bytes. Every unit whose bytes have all arrived (its
// group's flag byte and its one or two bytes) is expanded and delivered
// before write() returns; only a reference cut between its two bytes waits
// for the next piece.
class LZRING_CXX_API decoder {
 public:
  static constexpr std::uint64_t no_limit = UINT64_MAX;

  // Output goes to `sink`, or into the object when `sink` is empty. With a
  // limit, the object stops after `limit` output bytes: at_limit() is true
  // as soon as the unit that reaches the limit has arrived, whatever follows
  // it (at once for a limit of 0), and input after that unit is not used:
  // bytes_used() tells where the stream ended within everything written.
  explicit decoder(sink_fn sink = {}, std::uint64_t limit = no_limit);
  ~decoder();
  decoder(decoder&& other) noexcept;
  decoder& operator=(decoder&& other) noexcept;
  decoder(const decoder&) = delete;
  decoder& operator=(const decoder&) = delete;

  // Takes the next piece of compressed input. False when the object has
  // failed or was finished; input after the limit is accepted and ignored.
  bool write(std::span<const std::uint8_t> piece);
  // As above, and sets `used` to the bytes of `piece` that belong to the
  // stream: all of them until the limit is reached (a reference cut by the
  // piece's end counts, its first byte waiting in the object), then those up
  // to the end of the unit that reached it, and 0 for the pieces after. So
  // piece.subspan(used) is what follows the stream once at_limit() is true.
  // When write() returns false, `used` counts the bytes up to the end of
  // the last unit expanded from the piece (0 for an object that had failed
  // or was finished before the call).
  bool write(std::span<const std::uint8_t> piece, std::size_t& used);
  // Ends the input: a unit cut short by the end produces nothing, as in
  // expand(). False when the object has failed.
  bool finish();
  // Starts a new stream with the same sink and limit.
  void reset();

  std::span<const std::uint8_t> output() const noexcept;
  void consume(std::size_t n) noexcept;
  std::size_t read(std::span<std::uint8_t> out) noexcept;

  std::uint64_t bytes_in() const noexcept;    // compressed bytes written to the object
  std::uint64_t bytes_used() const noexcept;  // up to the end of the last unit expanded
  std::uint64_t bytes_out() const noexcept;   // output bytes produced
  bool at_limit() const noexcept;             // the limit has been reached
  // finish() came before the limit: the stream was shorter than asked for.
  bool ended_early() const noexcept;
  bool failed() const noexcept;
  bool finished() const noexcept;

  struct state;  // defined inside the library

 private:
  std::unique_ptr<state> state_;
};

// One-shot forms of the codec functions above, each using a codec of its own
// (one 230 KiB allocation per call; keep a codec to avoid it).

// Returns the compressed form of `in`. Throws only std::bad_alloc.
LZRING_CXX_API std::vector<std::uint8_t> compress(std::span<const std::uint8_t> in);
// The same on `threads` threads (see codec(unsigned)). Throws only
// std::bad_alloc.
LZRING_CXX_API std::vector<std::uint8_t> compress(std::span<const std::uint8_t> in,
                                                  unsigned threads);
// Returns the expansion of `in`. Throws only std::bad_alloc.
LZRING_CXX_API std::vector<std::uint8_t> expand(std::span<const std::uint8_t> in);
// Returns the size that expand(in) would produce. Throws only std::bad_alloc.
LZRING_CXX_API std::uint64_t expanded_size(std::span<const std::uint8_t> in);

// The library's version, "major.minor.patch".
LZRING_CXX_API const char* version() noexcept;

}  // namespace lzring

#endif  // LZRING_LZRING_HPP
