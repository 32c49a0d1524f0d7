// The encoder on several threads against the one-thread encoder: the same
// bytes for every number of workers, every piece size and every way of
// writing the source, at sizes on both sides of the piece edges and of the
// sizes where the look-ahead and the ring fill up; and failures that end
// the call with an error, never a hang.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "codec/best_encoder.h"
#include "codec/encode_loop.h"
#include "codec/memory_sinks.h"
#include "codec/memory_source.h"
#include "codec/parallel/parallel_encoder.h"
#include "codec/parallel/tree_split.h"
#include "codec/ring_trees.h"
#include "lzring/lzring.hpp"
#include "tests/support/known_vectors.h"
#include "tests/support/memory_codec.h"
#include "tests/support/test_util.h"
#include "tests/support/workloads.h"

// The allocations that may fail without throwing (the threads' pieces and
// workers): counted, and made to fail from a size on when a test asks.
namespace {
std::atomic<std::uint64_t> g_nothrow_allocations{0};
std::atomic<std::size_t> g_fail_from{SIZE_MAX};

void* NothrowAllocation(std::size_t size, bool array) noexcept {
  g_nothrow_allocations.fetch_add(1, std::memory_order_relaxed);
  if (size >= g_fail_from.load(std::memory_order_relaxed)) return nullptr;
  try {
    return array ? ::operator new[](size) : ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}
}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return NothrowAllocation(size, false);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return NothrowAllocation(size, true);
}

namespace lzring {
namespace {

using test::Bytes;

// The threads of this process, the calling one among them.
std::size_t ProcessThreads() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/task")) {
    ++n;
  }
  return n;
}

struct Layout {
  unsigned workers;
  std::size_t piece;
  std::size_t write;         // bytes per Write() call
  bool go_on_alone = false;  // the workers stop after two pieces
  ThreadTimeFn clock = ThreadTime;
};

// Compresses `src` through a ParallelEncoder that always starts its
// workers; `result` gets the first nonzero result of its calls.
Bytes Parallel(const Bytes& src, const Layout& setup, int& result,
               ThreadStartFn start = ThreadStart, unsigned* missing = nullptr) {
  auto ws = std::make_unique<RingTrees>();
  auto runs = std::make_unique<RunIndex>();
  ParallelOptions options;
  options.workers = setup.workers;
  options.piece_size = setup.piece;
  options.min_parallel = 0;
  options.min_gain = 0;
  options.min_parallelism = setup.go_on_alone ? 1000 : 0;
  options.start_thread = start;
  options.thread_time = setup.clock;
  ParallelEncoder encoder(*ws, *runs, options);
  Bytes out;
  VectorSink sink(out);
  result = 0;
  for (std::size_t i = 0; i < src.size() && result == 0; i += setup.write) {
    result = encoder.Write(src.data() + i, std::min(setup.write, src.size() - i), sink);
  }
  if (result == 0) result = encoder.Finish(sink);
  if (missing != nullptr) *missing = encoder.ThreadsNotStarted();
  return out;
}

// Compresses `src` through a ParallelEncoder under the policy `options`;
// `used` tells whether the workers took part, `handovers` how often they
// stopped.
Bytes WithPolicy(const Bytes& src, const ParallelOptions& options, bool& used,
                 unsigned* handovers = nullptr) {
  auto ws = std::make_unique<RingTrees>();
  auto runs = std::make_unique<RunIndex>();
  Bytes out;
  {
    VectorSink sink(out);
    ParallelEncoder encoder(*ws, *runs, options);
    EXPECT_EQ(encoder.Write(src.data(), src.size(), sink), 0);
    EXPECT_EQ(encoder.Finish(sink), 0);
    used = encoder.UsedWorkers();
    if (handovers != nullptr) *handovers = encoder.Handovers();
  }
  return out;
}

Bytes Shape(int shape, std::size_t n) {
  switch (shape) {
    case 0:
      return test::RandomBytes(n, 7);
    case 1:
      return Bytes(n, 0);
    case 2: {
      Bytes b(n);
      for (std::size_t i = 0; i < n; ++i) b[i] = i % 2 == 0 ? 'a' : 'b';
      return b;
    }
    case 3:
      return workloads::SortedRecords(n);
    case 4: {
      // Skewed: nine bytes in ten one value, the rest scattered.
      Bytes b = test::RandomBytes(n, 11);
      for (std::size_t i = 0; i < n; ++i) b[i] = b[i] % 10 != 0 ? 0xFF : b[i];
      return b;
    }
    default:
      return test::TextBytes(n, 13);
  }
}

// Every shape at sizes around 0, the look-ahead, the ring and the piece
// edges (pieces of 1000 bytes), each with three worker counts taken in turn
// from 1..16 and three ways of writing, the workers going on to the end or
// handing over to the feeding thread after two pieces.
TEST(ParallelEncoder, SameBytesAsOneThread) {
  constexpr std::size_t kPiece = 1000;
  const std::size_t sizes[] = {0,    1,    2,    17,   18,    19,    35,   36,   999,
                               1000, 1001, 1017, 1018, 1019,  2000,  2001, 4095, 4096,
                               4097, 8192, 8193, 9999, 10000, 10001, 30017};
  unsigned next_workers = 0;
  for (int shape = 0; shape < 6; ++shape) {
    for (const std::size_t n : sizes) {
      const Bytes src = Shape(shape, n);
      const Bytes expected = test::EncodeInMemory(src);
      for (const std::size_t write : {std::size_t{1}, std::size_t{777}, n + 1}) {
        if (write == 1 && n > 5000) continue;
        const Layout setup{1 + next_workers % 16, kPiece, write, next_workers % 2 == 1};
        ++next_workers;
        int result;
        EXPECT_EQ(Parallel(src, setup, result), expected)
            << "shape " << shape << ", " << n << " bytes, " << setup.workers
            << " workers, writes of " << write << (setup.go_on_alone ? ", going on alone" : "");
        EXPECT_EQ(result, 0);
      }
    }
  }
}

// The coding thread's own work counts against its share of the trees.
TEST(ParallelEncoder, CodingThreadGetsFewerTrees) {
  struct Case {
    unsigned workers;
    double base;
    double busiest;  // with `base` on worker 0
    double on_zero;  // of the trees' work
  };
  // Eight trees of work 10 (the rest empty).
  const Case cases[] = {{2, 0, 40, 40}, {2, 20, 50, 30}, {2, 80, 80, 0}, {3, 25, 40, 10}};
  double weight[kTreeCount] = {};
  for (int c = 0; c < 8; ++c) weight[c * 31] = 10;
  for (const Case& t : cases) {
    std::uint8_t owner[kTreeCount];
    EXPECT_EQ(SplitTrees(weight, t.workers, owner, t.base), t.busiest)
        << t.workers << " " << t.base;
    EXPECT_EQ(BusiestLoad(weight, t.workers, owner, t.base), t.busiest);
    double on_zero = 0;
    for (int c = 0; c < kTreeCount; ++c) on_zero += owner[c] == 0 ? weight[c] : 0;
    EXPECT_EQ(on_zero, t.on_zero) << t.workers << " " << t.base;
  }
}

// The known compressed bytes, through the smallest pieces there are.
TEST(ParallelEncoder, KnownVectors) {
  for (const auto& c : vectors::EncodeCases()) {
    for (const unsigned workers : {1u, 2u, 16u}) {
      for (const std::size_t piece : {std::size_t{18}, std::size_t{19}, std::size_t{64}}) {
        int result;
        EXPECT_EQ(Parallel(c.source, {workers, piece, 5}, result), c.compressed)
            << c.name << ", " << workers << " workers, pieces of " << piece;
        EXPECT_EQ(result, 0);
      }
    }
  }
}

// The trees are split by what the clock says each worker's work took,
// however wrong: none, figures at random (many new splits), or a clock
// running backwards. The bytes stay the same.
TEST(ParallelEncoder, SplitByAnyClock) {
  const struct {
    const char* name;
    ThreadTimeFn clock;
  } clocks[] = {
      {"none", [] { return std::uint64_t{0}; }},
      {"at random",
       [] {
         thread_local std::uint64_t x = 88172645463325252u;
         x ^= x << 13;
         x ^= x >> 7;
         x ^= x << 17;
         return x;
       }},
      {"backwards",
       [] {
         thread_local std::uint64_t t = ~std::uint64_t{0};
         return t -= 1000;
       }},
  };
  for (const int shape : {3, 4, 5}) {
    const Bytes src = Shape(shape, 120000);
    const Bytes expected = test::EncodeInMemory(src);
    for (const auto& c : clocks) {
      for (const unsigned workers : {2u, 3u}) {
        int result;
        EXPECT_EQ(Parallel(src, {workers, 4096, 10000, false, c.clock}, result), expected)
            << "shape " << shape << ", clock " << c.name << ", " << workers << " workers";
        EXPECT_EQ(result, 0);
      }
    }
  }
}

// The policy as it stands, asked at every piece: a source whose first part
// does not pay for the threads (a run of one byte value, a skewed stretch)
// gets them once its text does, from wherever the one-thread loop stands,
// with the same bytes. The first pieces are made small, so that the runs
// hand over at many positions; those before 64 KiB as the API cuts them.
TEST(ParallelEncoder, PrefixedSourcesGetTheThreadsLater) {
  const Bytes text = test::TextBytes(300000, 23);
  for (const int shape : {1, 2, 4}) {
    for (const std::size_t prefix : {std::size_t{999}, std::size_t{40000}, std::size_t{65536}}) {
      Bytes src = Shape(shape, prefix);
      src.insert(src.end(), text.begin(), text.end());
      const Bytes expected = test::EncodeInMemory(src);
      for (const std::uint64_t first : {std::uint64_t{1000}, std::uint64_t{1} << 16}) {
        ParallelOptions options;
        options.min_parallel = first;
        bool used;
        EXPECT_EQ(WithPolicy(src, options, used), expected)
            << "shape " << shape << ", prefix " << prefix << ", first " << first;
        EXPECT_TRUE(used) << "shape " << shape << ", prefix " << prefix << ", first " << first;
      }
    }
  }
}

// Threads where their work pays, by the policy's defaults, and the same
// bytes either way. A source that repeats itself with a period shorter
// than the window keeps its trees a node or two deep, however evenly its
// bytes spread over them; two workers each take as long as one thread
// there, so it stays on one.
TEST(ParallelEncoder, ThreadsWhereTheyPay) {
  auto periodic = [](std::size_t n, const Bytes& period) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = period[i % period.size()];
    return b;
  };
  const Bytes alphabet(test::Bytes{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i',
                                   'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r',
                                   's', 't', 'u', 'v', 'w', 'x', 'y', 'z'});
  Bytes alphabet_then_text = periodic(200000, alphabet);
  const Bytes text = test::TextBytes(300000, 29);
  alphabet_then_text.insert(alphabet_then_text.end(), text.begin(), text.end());
  // A run of one value, then text: the first pieces on the threads are
  // split for the run, and the next, split anew, pay; the threads go on.
  Bytes run_then_text(100000, 'a');
  const Bytes long_text = test::TextBytes(1500000, 31);
  run_then_text.insert(run_then_text.end(), long_text.begin(), long_text.end());
  const struct {
    const char* name;
    Bytes src;
    bool used;
  } cases[] = {
      {"text", text, true},
      {"random bytes", test::RandomBytes(300000, 5), true},
      {"an alphabet over and over", periodic(300000, alphabet), false},
      {"records of 100 random bytes, repeated", periodic(300000, test::RandomBytes(100, 9)), false},
      {"one byte value", Bytes(300000, 'x'), false},
      {"an alphabet, then text", alphabet_then_text, true},
      {"a run of one value, then text", run_then_text, true},
  };
  for (const auto& c : cases) {
    bool used;
    unsigned handovers;
    EXPECT_EQ(WithPolicy(c.src, ParallelOptions{}, used, &handovers), test::EncodeInMemory(c.src))
        << c.name;
    EXPECT_EQ(used, c.used) << c.name;
    EXPECT_EQ(handovers, 0u) << c.name;
  }
}

// The corpus through the C++ API: every thread count from 1 to 16 where the
// build is optimised, two of them under the sanitizers.
TEST(ParallelEncoder, CorpusThroughTheApi) {
#ifdef NDEBUG
  const std::vector<unsigned> counts = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
#else
  const std::vector<unsigned> counts = {2, 7};
#endif
  const char* const files[] = {
      "canterbury/alice29.txt", "canterbury/kennedy.xls", "canterbury/ptt5",   "canterbury/sum",
      "artificial/aaa.txt",     "artificial/random.txt",  "large/world192.txt"};
  for (const char* name : files) {
    const std::string path = test::CorpusFile(name);
    if (path.empty()) GTEST_SKIP() << "corpus not present";
    const Bytes src = test::ReadFile(path);
    const Bytes expected = test::EncodeInMemory(src);
    for (const unsigned threads : counts) {
      EXPECT_EQ(lzring::compress(src, threads), expected) << name << ", " << threads << " threads";
    }
  }
}

// A thread that cannot start, at each worker index, with the workers going
// on to the end or stopping and starting again: the call goes on with the
// threads it has, down to the calling thread alone, with the same bytes,
// and only the count tells. A second run of the workers takes the threads
// of the first: none is started again. Nothing hangs or leaks.
TEST(ParallelEncoder, ThreadThatCannotStartIsDoneWithout) {
  static int starts;
  static int fail_at;
  ThreadStartFn failing = [](ThreadHandle& handle, void (*fn)(void*), void* arg) {
    return starts++ == fail_at ? EAGAIN : ThreadStart(handle, fn, arg);
  };
  const Bytes src = test::TextBytes(50000, 3);
  const Bytes expected = test::EncodeInMemory(src);
  for (const bool go_on_alone : {false, true}) {
    // Four workers are three threads besides the caller's; -1: none fails.
    for (fail_at = -1; fail_at < 3; ++fail_at) {
      starts = 0;
      int result;
      unsigned missing = 0;
      EXPECT_EQ(Parallel(src, {4, 4096, 10000, go_on_alone}, result, failing, &missing), expected)
          << "start " << fail_at << " fails";
      EXPECT_EQ(result, 0);
      EXPECT_EQ(missing, fail_at < 0 ? 0u : 3u - fail_at) << "start " << fail_at << " fails";
      EXPECT_EQ(starts, fail_at < 0 ? 3 : fail_at + 1) << "start " << fail_at << " fails";
    }
  }
  // Through the API every start succeeds: the count stays 0.
  codec c(4);
  EXPECT_EQ(c.compress(src), expected);
  EXPECT_EQ(c.threads_not_started(), 0u);

  // The smallest stream wants one thread besides the caller's, whatever
  // the count above two: without it, the same bytes on the calling thread.
  const Bytes longer = test::TextBytes(300000, 4);
  const Bytes best = test::BestEncodeInMemory(longer);
  for (const unsigned threads : {1u, 2u, 4u}) {
    for (fail_at = -1; fail_at < 1; ++fail_at) {
      starts = 0;
      Bytes out;
      unsigned missing = 9;
      {
        VectorSink sink(out);
        MemorySource source(longer.data(), longer.size());
        EXPECT_EQ(BestEncodeStream(source, sink, threads, failing, &missing), 0);
      }
      EXPECT_EQ(out, best) << threads << " threads, start " << fail_at << " fails";
      EXPECT_EQ(missing, threads > 1 && fail_at == 0 ? 1u : 0u) << threads << " threads";
      EXPECT_EQ(starts, threads > 1 ? 1 : 0) << threads << " threads";
    }
  }
  c.set_best(true);
  EXPECT_EQ(c.compress(longer), best);
  EXPECT_EQ(c.threads_not_started(), 0u);
}

// A sink that fails ends the call at once, whichever piece is being coded,
// and stops the workers.
TEST(ParallelEncoder, FailingSinkStopsTheThreads) {
  const Bytes src = test::TextBytes(60000, 5);
  auto ws = std::make_unique<RingTrees>();
  auto runs = std::make_unique<RunIndex>();
  const std::size_t size = test::EncodeInMemory(src).size();
  for (const std::size_t room : {std::size_t{0}, std::size_t{100}, size / 2, size - 1}) {
    ParallelOptions options;
    options.workers = 3;
    options.piece_size = 4096;
    options.min_parallel = 0;
    options.min_gain = 0;
    Bytes out(room);
    BufferSink sink(out.data(), out.size());
    MemorySource source(src.data(), src.size());
    EXPECT_EQ(ParallelEncodeStream(*ws, *runs, source, sink, options), kParallelSinkFailed)
        << room << " bytes of room";
  }
  // Through the API: the buffer too small, and the encoder object's sink.
  codec c(3);
  Bytes small(1000);
  std::error_code ec;
  EXPECT_EQ(c.compress_into(src, small, ec), 0u);
  EXPECT_EQ(ec, std::errc::no_buffer_space);
  std::size_t taken = 0;
  encoder e([&](std::span<const std::uint8_t> bytes) { return (taken += bytes.size()) < 5000; }, 3);
  EXPECT_FALSE(e.write(src) && e.finish());
  EXPECT_TRUE(e.failed());
}

// The encoder object on several threads gives the one-shot bytes whatever
// the pieces it is fed, and the tool's main path, compress_fd, does too.
TEST(ParallelEncoder, ObjectsAndDescriptorsOnThreads) {
  const Bytes src = test::TextBytes(700000, 17);
  const Bytes expected = test::EncodeInMemory(src);
  encoder e({}, 2);
  for (std::size_t i = 0; i < src.size(); i += 65537) {
    ASSERT_TRUE(e.write(std::span(src).subspan(i, std::min<std::size_t>(65537, src.size() - i))));
  }
  ASSERT_TRUE(e.finish());
  EXPECT_EQ(Bytes(e.output().begin(), e.output().end()), expected);

  test::TempDir dir;
  test::WriteFile(dir / "in", src);
  const stream_result r = codec(2).compress_file(dir / "in", dir / "out");
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(test::ReadFile(dir / "out"), expected);
}

// A codec object keeps its threads and pieces from call to call: after the
// first call, further calls start no thread and allocate nothing but their
// output; the threads end with the object.
TEST(ParallelEncoder, CodecKeepsItsThreadsAndPieces) {
  const Bytes src = test::TextBytes(1 << 20, 21);
  const Bytes expected = test::EncodeInMemory(src);
  const std::size_t alone = ProcessThreads();
  {
    codec c(3);
    ASSERT_EQ(c.compress(src), expected);
    EXPECT_EQ(ProcessThreads(), alone + 2);
    const std::size_t sizes[] = {70000, src.size(), 300000};
    std::vector<Bytes> want;
    for (const std::size_t size : sizes) {
      want.push_back(test::EncodeInMemory(Bytes(src.begin(), src.begin() + size)));
    }
    std::vector<Bytes> got(std::size(sizes));
    const std::uint64_t before = g_nothrow_allocations.load();
    for (std::size_t k = 0; k < std::size(sizes); ++k) {
      got[k] = c.compress(std::span(src).first(sizes[k]));
    }
    EXPECT_EQ(g_nothrow_allocations.load(), before);
    EXPECT_EQ(got, want);
    EXPECT_EQ(ProcessThreads(), alone + 2);
    c.set_threads(2);  // fewer: a thread ends at the next call
    EXPECT_EQ(c.compress(src), expected);
    EXPECT_EQ(ProcessThreads(), alone + 1);
  }
  EXPECT_EQ(ProcessThreads(), alone);
}

// When the state for several threads cannot be allocated, the call says so
// before it reads anything: the caller can still go on with one thread.
TEST(ParallelEncoder, OutOfMemoryBeforeAnythingIsRead) {
  const Bytes src = test::TextBytes(100000, 22);
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  ASSERT_EQ(::write(pipe_fds[1], src.data(), 60000), 60000);
  ::close(pipe_fds[1]);
  test::TempDir dir;
  const int out = ::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(out, 0);
  g_fail_from = 1 << 16;
  const stream_result r = codec(2).compress_fd(pipe_fds[0], out);
  std::error_code ec;
  Bytes buffer(encode_bound(src.size()));
  EXPECT_EQ(codec(2).compress_into(src, buffer, ec), 0u);
  g_fail_from = SIZE_MAX;
  EXPECT_EQ(r.write_error, std::errc::not_enough_memory);
  EXPECT_EQ(r.bytes_in, 0u);
  EXPECT_EQ(ec, std::errc::not_enough_memory);
  // Every byte is still in the pipe, for one thread to compress.
  const stream_result alone = codec(1).compress_fd(pipe_fds[0], out);
  ::close(pipe_fds[0]);
  ::close(out);
  EXPECT_TRUE(alone) << alone.error().message();
  EXPECT_EQ(alone.bytes_in, 60000u);
  EXPECT_EQ(test::ReadFile(dir / "out"),
            test::EncodeInMemory(Bytes(src.begin(), src.begin() + 60000)));
}

}  // namespace
}  // namespace lzring
