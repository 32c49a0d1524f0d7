// Benchmark: lzring against its peers, on the same data in the same run.
//
// For every input file, one row per codec: compressed size as a share of the
// original, compression and expansion speed in MB/s (10^6 bytes of original
// data per second). Each speed is the median of several runs, a run repeating
// the operation until it has taken at least the minimum time; the codecs take
// their runs in turn, so that the machine's slow spells fall on all of them.
// Every expansion is compared with the original after every run.
//
//   lzring_bench [--min-time S] [--runs N] [--codecs a,b,...] [--gen-size BYTES]
//                [--no-gen] [--wall] [--threads N] [--threads-only] [FILE-OR-DIR...]
//
// Without files it reads the shared corpus beside the source tree when that
// exists. Times are process CPU time unless --wall is given. Rows:
//   memcpy        the ceiling: a copy each way
//   lzring-cabi   _Encode/_Decode, file to file in a RAM-backed directory
//   lzring-mem    in memory, through the C++ API (or the stream templates)
//   lzring-best   the same writing the smallest stream (codec::set_best)
//   lzring-best-T2 the smallest stream on two threads (compare in --wall)
//   lzring-64k-cb the C++ encoder and decoder objects fed 64 KiB pieces,
//                 output to a sink function (with the C++ API only)
//   lzring-4k-buf the same fed 4 KiB pieces, output drained from the object
//                 after every piece
//   lzring-best-4k the smallest stream that way (encoder's `best`)
//   bytewise-file the byte-at-a-time reference codec through the per-byte
//                 ReadByte/WriteByte file streams: the design before tuning
//   bytewise-mem  the same reference codec over memory
//   zlib-1 zlib-6 zlib at levels 1 and 6; expansion is inflate
//   lz4           lz4 default level
// Generated worst cases for the match tree follow the files, then a total
// row per codec over the files (not the generated data).
//
// Then compression on threads, always in wall time (CPU time would hide
// what threads gain): lzring in memory on 1, 2, ... --threads N threads
// (default: one per processor) beside zlib -6, taken in turn on each input
// and on bible.txt behind three prefixes (64 KiB of zeros, 100 KB of 'a',
// ptt5), with the speed-up over one thread and the processor time of all
// threads against one thread's; and for each input a modelled ceiling:
// from the nodes the walks of each match tree visit, the speed-up that the
// best split of the trees among 2, 4, 8 and 16 threads could reach (no tree
// can be split, so the busiest tree bounds it), and the one the encoder's
// own split of the whole input's work reaches. Then many calls on one
// object, in slices of 4 KiB and 64 KiB, on one thread and on two.
// --threads 1 leaves these sections out; --threads-only leaves out
// everything else.
#include <fcntl.h>
#include <lz4.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "codec/ring_trees.h"
#include "lzring.h"
#include "platform/thread.h"
#include "tests/support/reference_codec.h"
#include "tests/support/workloads.h"

#include "codec/parallel/tree_split.h"
#include "codec/parallel/tree_worker.h"
#ifdef LZRING_BENCH_CPP_API
#include "lzring/lzring.hpp"
#else
#include "codec/best_encoder.h"
#include "codec/decode_loop.h"
#include "codec/encode_loop.h"
#include "codec/memory_sinks.h"
#include "codec/memory_source.h"
#endif

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Seconds on the chosen clock: process CPU time (user and system, so the
// file rows' system calls count) or wall time. CPU time is the default
// because on a shared machine it is far less disturbed by other work.
bool g_wall_clock = false;
double Now() {
  if (g_wall_clock) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

Bytes ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWhole(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// One codec under test, holding whatever it needs between the timed calls.
class Codec {
 public:
  virtual ~Codec() = default;
  virtual const char* Name() const = 0;
  // Called once per input, untimed.
  virtual void Prepare(const Bytes& src) { src_ = &src; }
  virtual void Compress() = 0;
  virtual std::size_t CompressedSize() = 0;
  virtual void Expand() = 0;
  // True when the last expansion gave back the original.
  virtual bool Check() = 0;

 protected:
  const Bytes* src_ = nullptr;
};

class MemcpyCodec : public Codec {
 public:
  const char* Name() const override { return "memcpy"; }
  void Prepare(const Bytes& src) override {
    Codec::Prepare(src);
    packed_.assign(src.size(), 0);
    out_.assign(src.size(), 0);
  }
  void Compress() override {
    if (!src_->empty()) std::memcpy(packed_.data(), src_->data(), src_->size());
  }
  std::size_t CompressedSize() override { return packed_.size(); }
  void Expand() override {
    if (!packed_.empty()) std::memcpy(out_.data(), packed_.data(), packed_.size());
  }
  bool Check() override { return out_ == *src_; }

 private:
  Bytes packed_, out_;
};

class ZlibCodec : public Codec {
 public:
  explicit ZlibCodec(int level) : level_(level), name_("zlib-" + std::to_string(level)) {}
  const char* Name() const override { return name_.c_str(); }
  void Prepare(const Bytes& src) override {
    Codec::Prepare(src);
    packed_.assign(compressBound(static_cast<uLong>(src.size())), 0);
    out_.assign(src.size(), 0);
  }
  void Compress() override {
    uLongf len = static_cast<uLongf>(packed_.size());
    if (compress2(packed_.data(), &len, src_->data(), static_cast<uLong>(src_->size()), level_) !=
        Z_OK) {
      len = 0;
    }
    size_ = len;
  }
  std::size_t CompressedSize() override { return size_; }
  void Expand() override {
    uLongf len = static_cast<uLongf>(out_.size());
    if (uncompress(out_.data(), &len, packed_.data(), static_cast<uLong>(size_)) != Z_OK) {
      out_.clear();
    }
  }
  bool Check() override { return out_ == *src_; }

 private:
  int level_;
  std::string name_;
  Bytes packed_, out_;
  std::size_t size_ = 0;
};

class Lz4Codec : public Codec {
 public:
  const char* Name() const override { return "lz4"; }
  void Prepare(const Bytes& src) override {
    Codec::Prepare(src);
    packed_.assign(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(src.size()))), 0);
    out_.assign(src.size(), 0);
  }
  void Compress() override {
    size_ = LZ4_compress_default(reinterpret_cast<const char*>(src_->data()),
                                 reinterpret_cast<char*>(packed_.data()),
                                 static_cast<int>(src_->size()), static_cast<int>(packed_.size()));
  }
  std::size_t CompressedSize() override { return static_cast<std::size_t>(size_); }
  void Expand() override {
    const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(packed_.data()),
                                      reinterpret_cast<char*>(out_.data()), size_,
                                      static_cast<int>(out_.size()));
    if (n != static_cast<int>(src_->size())) out_.clear();
  }
  bool Check() override { return out_ == *src_; }

 private:
  Bytes packed_, out_;
  int size_ = 0;
};

// The library in memory; with `best`, the smallest stream, on `threads`
// threads.
class LzringMemCodec : public Codec {
 public:
  explicit LzringMemCodec(bool best = false, unsigned threads = 1)
      : best_(best),
        threads_(threads)
#ifdef LZRING_BENCH_CPP_API
        ,
        codec_(threads)
#endif
  {
#ifdef LZRING_BENCH_CPP_API
    codec_.set_best(best);
#endif
  }
  const char* Name() const override {
    if (!best_) return "lzring-mem";
    return threads_ > 1 ? "lzring-best-T2" : "lzring-best";
  }
  void Prepare(const Bytes& src) override {
    Codec::Prepare(src);
    packed_.assign(lzring::EncodeBound(src.size()), 0);
    out_.assign(src.size(), 0);
  }
#ifdef LZRING_BENCH_CPP_API
  // The vectors keep their capacity from call to call.
  void Compress() override {
    codec_.compress(*src_, packed_);
    size_ = packed_.size();
  }
  void Expand() override {
    codec_.expand(std::span<const std::uint8_t>(packed_.data(), size_), out_);
    out_size_ = out_.size();
  }
#else
  void Compress() override {
    lzring::MemorySource in(src_->data(), src_->size());
    lzring::BufferSink sink(packed_.data(), packed_.size());
    if (best_) {
      lzring::BestEncodeStream(in, sink, threads_);
    } else {
      lzring::EncodeStream(*ws_, *runs_, in, sink);
    }
    size_ = sink.size();
  }
  void Expand() override {
    lzring::MemorySource in(packed_.data(), size_);
    lzring::BufferSink sink(out_.data(), out_.size());
    lzring::DecodeStream(ws_->ring, in, sink);
    out_size_ = sink.size();
  }
#endif
  std::size_t CompressedSize() override {
    return size_;
  }
  bool Check() override {
    return out_size_ == src_->size() && out_ == *src_;
  }

 private:
  bool best_;
  unsigned threads_;
#ifdef LZRING_BENCH_CPP_API
  lzring::codec codec_;
#else
  std::unique_ptr<lzring::RingTrees> ws_ = std::make_unique<lzring::RingTrees>();
  std::unique_ptr<lzring::RunIndex> runs_ = std::make_unique<lzring::RunIndex>();
#endif
  Bytes packed_, out_;
  std::size_t size_ = 0;
  std::size_t out_size_ = 0;
};

#ifdef LZRING_BENCH_CPP_API
// The library fed in pieces through the encoder and decoder objects, each
// kept from call to call as the codec above is (reset() starts a stream).
// Output goes into a buffer already large enough: from a sink function, or
// drained from the object after every piece.
class LzringPiecesCodec : public Codec {
 public:
  LzringPiecesCodec(const char* name, std::size_t piece, bool to_sink, bool best = false)
      : name_(name),
        piece_(piece),
        encoder_(to_sink ? lzring::sink_fn(Append(packed_, size_)) : lzring::sink_fn(), 1, best),
        decoder_(to_sink ? lzring::sink_fn(Append(out_, out_size_)) : lzring::sink_fn()) {}
  const char* Name() const override { return name_; }
  void Prepare(const Bytes& src) override {
    Codec::Prepare(src);
    packed_.assign(lzring::compress_bound(src.size()), 0);
    out_.assign(src.size(), 0);
  }
  void Compress() override {
    encoder_.reset();
    size_ = 0;
    Pieces(*src_, encoder_, packed_, size_);
  }
  std::size_t CompressedSize() override { return size_; }
  void Expand() override {
    decoder_.reset();
    out_size_ = 0;
    Pieces(std::span<const std::uint8_t>(packed_.data(), size_), decoder_, out_, out_size_);
  }
  bool Check() override { return out_size_ == src_->size() && out_ == *src_; }

 private:
  static lzring::sink_fn Append(Bytes& to, std::size_t& at) {
    return [&to, &at](std::span<const std::uint8_t> bytes) {
      if (bytes.size() > to.size() - at) return false;
      std::memcpy(to.data() + at, bytes.data(), bytes.size());
      at += bytes.size();
      return true;
    };
  }
  // Moves output waiting in the object (none when it has a sink) to `to`.
  template <class Object>
  static void Drain(Object& object, Bytes& to, std::size_t& at) {
    at += object.read(std::span<std::uint8_t>(to.data() + at, to.size() - at));
  }
  template <class Object>
  void Pieces(std::span<const std::uint8_t> in, Object& object, Bytes& to, std::size_t& at) {
    while (!in.empty()) {
      const std::size_t n = std::min(piece_, in.size());
      object.write(in.first(n));
      Drain(object, to, at);
      in = in.subspan(n);
    }
    object.finish();
    Drain(object, to, at);
  }

  const char* name_;
  std::size_t piece_;
  Bytes packed_, out_;
  std::size_t size_ = 0;
  std::size_t out_size_ = 0;
  lzring::encoder encoder_;
  lzring::decoder decoder_;
};
#endif

// Paths of the files a file-to-file codec works on.
struct FilePaths {
  std::string src, packed, out;
};

// The library through its C entry points, file to file.
class LzringCabiCodec : public Codec {
 public:
  explicit LzringCabiCodec(const FilePaths& paths) : paths_(paths) {}
  const char* Name() const override { return "lzring-cabi"; }
  void Prepare(const Bytes& src) override {
    Codec::Prepare(src);
    WriteWhole(paths_.src, src);
  }
  void Compress() override { ok_ = _Encode(paths_.src.c_str(), paths_.packed.c_str()) == 0; }
  std::size_t CompressedSize() override { return ok_ ? fs::file_size(paths_.packed) : 0; }
  void Expand() override { ok_ = _Decode(paths_.packed.c_str(), paths_.out.c_str()) == 0; }
  bool Check() override { return ok_ && ReadWhole(paths_.out) == *src_; }

 private:
  FilePaths paths_;
  bool ok_ = false;
};

// The byte-wise reference codec reading and writing one byte per call
// through file streams buffered in blocks of 4096 bytes, kept in a record
// of their own as the C entry points' streams were before the codec loops
// took whole blocks: the same steps per byte.
struct BytewiseFiles {
  static constexpr int kBlock = 4096;
  int in_fd;
  int out_fd;
  int in_eof;     // 1 once a read delivered nothing
  int in_pos;     // next byte of in_buf; 0 = read a new block first
  int in_count;   // bytes the last read delivered
  int out_count;  // bytes waiting in out_buf
  bool failed;    // a write failed
  std::uint8_t in_buf[kBlock];
  std::uint8_t out_buf[kBlock];
};

class FileByteReader {
 public:
  explicit FileByteReader(BytewiseFiles& f) : f_(f) {}
  int Get() {
    const std::uint8_t b = Read();
    return f_.in_eof ? -1 : b;
  }

 private:
  std::uint8_t Read() {
    if (f_.in_eof) return 0;
    if (f_.in_pos == 0) {
      const ssize_t n = ::read(f_.in_fd, f_.in_buf, BytewiseFiles::kBlock);
      if (n <= 0) {
        f_.in_eof = 1;
        return 0;
      }
      f_.in_count = static_cast<int>(n);
    }
    const std::uint8_t b = f_.in_buf[f_.in_pos];
    if (++f_.in_pos == f_.in_count) f_.in_pos = 0;
    return b;
  }

  BytewiseFiles& f_;
};

class FileByteWriter {
 public:
  explicit FileByteWriter(BytewiseFiles& f) : f_(f) {}
  bool Put(std::uint8_t b) {
    f_.out_buf[f_.out_count++] = b;
    if (f_.out_count < BytewiseFiles::kBlock) return true;
    return Flush();
  }
  bool Flush() {
    if (f_.out_count > 0 && ::write(f_.out_fd, f_.out_buf, f_.out_count) != f_.out_count) {
      f_.failed = true;
    }
    f_.out_count = 0;
    return !f_.failed;
  }

 private:
  BytewiseFiles& f_;
};

class BytewiseFileCodec : public Codec {
 public:
  explicit BytewiseFileCodec(const FilePaths& paths) : paths_(paths) {}
  const char* Name() const override { return "bytewise-file"; }
  void Prepare(const Bytes& src) override {
    Codec::Prepare(src);
    WriteWhole(paths_.src, src);
  }
  void Compress() override { ok_ = Run(paths_.src, paths_.packed, true); }
  std::size_t CompressedSize() override { return ok_ ? fs::file_size(paths_.packed) : 0; }
  void Expand() override { ok_ = Run(paths_.packed, paths_.out, false); }
  bool Check() override { return ok_ && ReadWhole(paths_.out) == *src_; }

 private:
  bool Run(const std::string& from, const std::string& to, bool encode) {
    BytewiseFiles& f = *files_;
    f = BytewiseFiles{};
    f.in_fd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (f.in_fd < 0) return false;
    f.out_fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (f.out_fd < 0) {
      ::close(f.in_fd);
      return false;
    }
    FileByteReader in(f);
    FileByteWriter out(f);
    bool ok = encode ? lzring::reference::Encode(*state_, in, out)
                     : lzring::reference::Decode(*state_, in, out);
    ok = out.Flush() && ok;
    ::close(f.in_fd);
    return ::close(f.out_fd) == 0 && ok;
  }

  FilePaths paths_;
  std::unique_ptr<BytewiseFiles> files_ = std::make_unique<BytewiseFiles>();
  std::unique_ptr<lzring::reference::State> state_ = std::make_unique<lzring::reference::State>();
  bool ok_ = false;
};

// The byte-wise reference codec over memory, writing into a buffer that is
// already large enough.
class BytewiseMemCodec : public Codec {
 public:
  const char* Name() const override { return "bytewise-mem"; }
  void Prepare(const Bytes& src) override {
    Codec::Prepare(src);
    packed_.assign(lzring::EncodeBound(src.size()), 0);
    out_.assign(src.size(), 0);
  }
  void Compress() override {
    lzring::reference::VectorReader in(src_->data(), src_->size());
    ArrayWriter w{packed_.data(), packed_.data() + packed_.size()};
    lzring::reference::Encode(*state_, in, w);
    size_ = static_cast<std::size_t>(w.next - packed_.data());
  }
  std::size_t CompressedSize() override { return size_; }
  void Expand() override {
    lzring::reference::VectorReader in(packed_.data(), size_);
    ArrayWriter w{out_.data(), out_.data() + out_.size()};
    lzring::reference::Decode(*state_, in, w);
    out_size_ = static_cast<std::size_t>(w.next - out_.data());
  }
  bool Check() override { return out_size_ == src_->size() && out_ == *src_; }

 private:
  struct ArrayWriter {
    std::uint8_t* next;
    std::uint8_t* end;
    bool Put(std::uint8_t b) {
      if (next == end) return false;
      *next++ = b;
      return true;
    }
  };
  std::unique_ptr<lzring::reference::State> state_ = std::make_unique<lzring::reference::State>();
  Bytes packed_, out_;
  std::size_t size_ = 0;
  std::size_t out_size_ = 0;
};

struct Options {
  double min_time = 1.0;
  int runs = 5;
  unsigned threads = 0;  // the thread rows go up to this; 0: the processors
  bool threads_only = false;
  std::size_t gen_size = 1 << 20;
  bool gen = true;
  std::vector<std::string> codecs;  // empty: all
  std::vector<std::string> inputs;
};

// Seconds per call of each operation. Runs are taken in turn, one run of
// every operation per round, so that a slow spell of a shared machine falls
// on all of them alike; a run repeats its operation until it has taken at
// least `min_time` seconds, and each figure is the median of its runs.
// `check` runs after every run, untimed; a failed check ends the program.
struct Timed {
  std::function<void()> op;
  std::function<bool()> check;
  std::string what;
};

double ProcessCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// `cpu`, when given, gets the median process processor time per call (all
// threads) of the same runs.
std::vector<double> MeasureInTurn(const Options& opt, const std::vector<Timed>& timed,
                                  std::vector<double>* cpu = nullptr) {
  std::vector<std::vector<double>> per_call(timed.size());
  std::vector<std::vector<double>> cpu_per_call(timed.size());
  for (int run = 0; run < opt.runs; ++run) {
    for (std::size_t k = 0; k < timed.size(); ++k) {
      long calls = 0;
      const double start = Now();
      const double cpu_start = ProcessCpuSeconds();
      double elapsed = 0;
      do {
        timed[k].op();
        ++calls;
        elapsed = Now() - start;
      } while (elapsed < opt.min_time);
      cpu_per_call[k].push_back((ProcessCpuSeconds() - cpu_start) / static_cast<double>(calls));
      if (!timed[k].check()) {
        std::fprintf(stderr, "lzring_bench: %s: expansion differs from the original\n",
                     timed[k].what.c_str());
        std::exit(1);
      }
      per_call[k].push_back(elapsed / static_cast<double>(calls));
    }
  }
  std::vector<double> medians;
  for (auto& v : per_call) {
    std::sort(v.begin(), v.end());
    medians.push_back(v[v.size() / 2]);
  }
  if (cpu != nullptr) {
    cpu->clear();
    for (auto& v : cpu_per_call) {
      std::sort(v.begin(), v.end());
      cpu->push_back(v[v.size() / 2]);
    }
  }
  return medians;
}

struct Totals {
  double bytes = 0, packed = 0, compress_s = 0, expand_s = 0;
};

struct Input {
  std::string name;
  Bytes data;
  bool in_total;
};

void PrintRow(const std::string& name, double size, const char* codec, double packed,
              double compress_s, double expand_s) {
  const double ratio = size > 0 ? 100.0 * packed / size : 100.0;
  std::printf("%-24s %11.0f  %-13s %7.2f%% %9.1f %9.1f\n", name.c_str(), size, codec, ratio,
              size / compress_s / 1e6, size / expand_s / 1e6);
  std::fflush(stdout);
}

int Usage() {
  std::fprintf(stderr,
               "usage: lzring_bench [--min-time SECONDS] [--runs N] [--codecs a,b,...]\n"
               "                    [--gen-size BYTES] [--no-gen] [--wall] [--threads N]\n"
               "                    [--threads-only] [FILE-OR-DIR...]\n");
  return 2;
}

// The nodes the walks of each tree visit on `data`: every tree operation of
// one worker owning all of them.
void TreeVisits(const Bytes& data, std::uint64_t visits[lzring::kTreeCount]) {
  auto worker = std::make_unique<lzring::TreeWorker>();
  bool all[lzring::kTreeCount];
  std::fill(std::begin(all), std::end(all), true);
  worker->Reset(all);
  std::vector<lzring::MatchRecord> records(data.size() + lzring::MAX_MATCH);
  const lzring::SourcePiece piece{data.data(), 0, 0, data.size(), true};
  std::fill(visits, visits + lzring::kTreeCount, 0);
  lzring::RecordMatches(*worker, piece, records.data(), 0, visits);
}

#ifdef LZRING_BENCH_CPP_API
// Sources that start with a stretch that does not pay for threads and go on
// with text, built from the inputs (bible.txt, ptt5) when they are there:
// the thread policy must give the text its threads.
std::vector<Input> PrefixedInputs(const std::vector<Input>& inputs) {
  const Input* text = nullptr;
  const Input* fax = nullptr;
  for (const Input& in : inputs) {
    if (fs::path(in.name).filename() == "bible.txt") text = &in;
    if (fs::path(in.name).filename() == "ptt5") fax = &in;
  }
  std::vector<Input> out;
  if (text == nullptr) return out;
  auto prefixed = [&](std::string name, Bytes prefix) {
    prefix.insert(prefix.end(), text->data.begin(), text->data.end());
    out.push_back({std::move(name), std::move(prefix), false});
  };
  prefixed("64KiB-zeros+bible", Bytes(65536, 0));
  prefixed("100KB-a+bible", Bytes(100000, 'a'));
  if (fax != nullptr) prefixed("ptt5+bible", fax->data);
  return out;
}

// Many calls on one codec object: the corpus's files joined (up to 4 MiB)
// and cut into slices of 4 KiB and of 64 KiB, one compress() call a slice,
// on one thread and on two, in wall time. A source of 4 KiB is always coded
// on the calling thread; one of 64 KiB is the smallest that may use the
// threads, which the object keeps from call to call.
void CallRows(const Options& opt, const std::vector<Input>& corpus) {
  Bytes joined;
  for (const Input& input : corpus) {
    if (!input.in_total) continue;
    joined.insert(joined.end(), input.data.begin(), input.data.end());
    if (joined.size() >= (std::size_t{4} << 20)) break;
  }
  joined.resize(std::min(joined.size(), std::size_t{4} << 20));
  if (joined.empty()) return;
  const bool was_wall = g_wall_clock;
  g_wall_clock = true;
  std::printf("\n# many calls on one object, wall time: MB/s of %zu bytes in slices\n",
              joined.size());
  std::printf("%-24s %11s %11s %8s\n", "slice", "T1 MB/s", "T2 MB/s", "T2/T1");
  for (const std::size_t slice : {std::size_t{4096}, std::size_t{65536}}) {
    lzring::codec one(1);
    lzring::codec two(2);
    Bytes out;
    const auto calls = [&](lzring::codec& c) {
      for (std::size_t at = 0; at < joined.size(); at += slice) {
        c.compress(std::span(joined).subspan(at, std::min(slice, joined.size() - at)), out);
      }
    };
    const std::vector<double> s =
        MeasureInTurn(opt, {{[&] { calls(one); }, [] { return true; }, "calls on one thread"},
                            {[&] { calls(two); }, [] { return true; }, "calls on two threads"}});
    const double size = static_cast<double>(joined.size());
    std::printf("%-24s %11.1f %11.1f %8.2f\n", (std::to_string(slice / 1024) + " KiB").c_str(),
                size / s[0] / 1e6, size / s[1] / 1e6, s[0] / s[1]);
  }
  g_wall_clock = was_wall;
}

// Compression on 1..max_threads threads, and zlib -6, in wall time, with the
// processor time of the same runs (all threads) beside it; then the
// speed-up that splits of the trees could reach.
void ThreadRows(const Options& opt, const std::vector<Input>& corpus, unsigned max_threads) {
  const bool was_wall = g_wall_clock;
  g_wall_clock = true;
  std::vector<Input> inputs = corpus;
  for (Input& in : PrefixedInputs(corpus)) inputs.push_back(std::move(in));
  std::printf(
      "\n# compression on threads: median of %d runs of at least %.2f s wall time;\n"
      "# cpu: processor time per call, all threads, as a multiple of one thread's\n",
      opt.runs, opt.min_time);
  std::printf("%-24s %11s  %-13s %9s %8s %8s\n", "file", "bytes", "codec", "comp MB/s", "vs T1",
              "cpu/T1");
  std::vector<double> total_s(max_threads + 1, 0.0);
  std::vector<double> total_cpu(max_threads + 1, 0.0);
  double total_bytes = 0;
  std::vector<std::unique_ptr<lzring::codec>> codecs;
  for (unsigned t = 1; t <= max_threads; ++t) codecs.push_back(std::make_unique<lzring::codec>(t));
  for (const Input& input : inputs) {
    const Bytes expected = lzring::codec().compress(input.data);
    std::vector<Bytes> outs(max_threads + 1);
    std::vector<Timed> timed;
    for (unsigned t = 1; t <= max_threads; ++t) {
      Bytes& out = outs[t];
      lzring::codec& c = *codecs[t - 1];
      timed.push_back({[&] { c.compress(input.data, out); }, [&] { return out == expected; },
                       input.name + " lzring-T" + std::to_string(t)});
    }
    ZlibCodec zlib(6);
    zlib.Prepare(input.data);
    timed.push_back({[&] { zlib.Compress(); }, [] { return true; }, input.name + " zlib-6"});
    std::vector<double> cpu;
    const std::vector<double> s = MeasureInTurn(opt, timed, &cpu);
    const double size = static_cast<double>(input.data.size());
    for (unsigned t = 1; t <= max_threads + 1; ++t) {
      const std::string name = t <= max_threads ? "lzring-T" + std::to_string(t) : "zlib-6";
      std::printf("%-24s %11.0f  %-13s %9.1f %7.2fx %7.2fx\n", input.name.c_str(), size,
                  name.c_str(), size / s[t - 1] / 1e6, s[0] / s[t - 1], cpu[t - 1] / cpu[0]);
      if (input.in_total) {
        total_s[t - 1] += s[t - 1];
        total_cpu[t - 1] += cpu[t - 1];
      }
    }
    if (input.in_total) total_bytes += size;
  }
  for (unsigned t = 1; t <= max_threads + 1; ++t) {
    const std::string name = t <= max_threads ? "lzring-T" + std::to_string(t) : "zlib-6";
    std::printf("%-24s %11.0f  %-13s %9.1f %7.2fx %7.2fx\n", "TOTAL (files)", total_bytes,
                name.c_str(), total_bytes / total_s[t - 1] / 1e6, total_s[0] / total_s[t - 1],
                total_cpu[t - 1] / total_cpu[0]);
  }

  std::printf(
      "\n# modelled ceiling: speed-up from the nodes visited per tree; bound = any\n"
      "# split (total / max(busiest tree, even share)), split = the encoder's split\n");
  std::printf("%-24s %8s %12s %14s %14s %14s %14s\n", "file", "busiest", "visits/byte",
              "2 bound/split", "4 bound/split", "8 bound/split", "16 bound/split");
  for (const Input& input : inputs) {
    std::uint64_t visits[lzring::kTreeCount];
    TreeVisits(input.data, visits);
    std::uint64_t total = 0;
    std::uint64_t busiest = 0;
    for (const std::uint64_t v : visits) {
      total += v;
      busiest = std::max(busiest, v);
    }
    std::printf("%-24s %7.1f%% %12.2f", input.name.c_str(),
                total > 0 ? 100.0 * static_cast<double>(busiest) / static_cast<double>(total) : 0.0,
                input.data.empty()
                    ? 0.0
                    : static_cast<double>(total) / static_cast<double>(input.data.size()));
    for (const unsigned workers : {2u, 4u, 8u, 16u}) {
      std::uint8_t owner[lzring::kTreeCount];
      const std::uint64_t split = lzring::SplitTrees(visits, workers, owner);
      std::printf("   %5.2f/%5.2f", lzring::SplitCeiling(visits, workers),
                  split > 0 ? static_cast<double>(total) / static_cast<double>(split) : 1.0);
    }
    std::printf("\n");
  }
  g_wall_clock = was_wall;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--min-time" && has_value) {
      opt.min_time = std::atof(argv[++i]);
    } else if (a == "--runs" && has_value) {
      opt.runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--gen-size" && has_value) {
      opt.gen_size = static_cast<std::size_t>(std::atoll(argv[++i]));
    } else if (a == "--wall") {
      g_wall_clock = true;
    } else if (a == "--threads" && has_value) {
      opt.threads = static_cast<unsigned>(std::max(1, std::atoi(argv[++i])));
    } else if (a == "--threads-only") {
      opt.threads_only = true;
    } else if (a == "--no-gen") {
      opt.gen = false;
    } else if (a == "--codecs" && has_value) {
      std::string list = argv[++i];
      std::size_t pos = 0;
      while (pos <= list.size()) {
        const std::size_t comma = std::min(list.find(',', pos), list.size());
        opt.codecs.push_back(list.substr(pos, comma - pos));
        pos = comma + 1;
      }
    } else if (!a.empty() && a[0] == '-') {
      return Usage();
    } else {
      opt.inputs.push_back(a);
    }
  }
  if (opt.inputs.empty()) {
    const fs::path corpus = fs::path(LZRING_SOURCE_DIR) / ".." / "shared" / "corpus";
    if (fs::is_directory(corpus)) opt.inputs.push_back(fs::canonical(corpus).string());
  }

  // Files, directories walked in name order; the corpus's own notes skipped.
  std::vector<Input> inputs;
  for (const std::string& in : opt.inputs) {
    std::vector<fs::path> files;
    if (fs::is_directory(in)) {
      for (const auto& e : fs::recursive_directory_iterator(in)) {
        const std::string leaf = e.path().filename().string();
        if (e.is_regular_file() && leaf != "README.md" && leaf != "SHA256SUMS") {
          files.push_back(e.path());
        }
      }
      std::sort(files.begin(), files.end());
    } else if (fs::is_regular_file(in)) {
      files.push_back(in);
    } else {
      std::fprintf(stderr, "lzring_bench: %s: not a file or directory\n", in.c_str());
      return 2;
    }
    for (const fs::path& f : files) {
      const std::string name =
          fs::is_directory(in) ? fs::relative(f, in).string() : f.filename().string();
      inputs.push_back({name, ReadWhole(f.string()), true});
    }
  }
  if (opt.gen) {
    inputs.push_back({"gen/sorted-records", lzring::workloads::SortedRecords(opt.gen_size), false});
    inputs.push_back(
        {"gen/descending-records", lzring::workloads::DescendingRecords(opt.gen_size), false});
    inputs.push_back(
        {"gen/alternating-records", lzring::workloads::AlternatingRecords(opt.gen_size), false});
    inputs.push_back({"gen/timestamps", lzring::workloads::Timestamps(opt.gen_size), false});
    inputs.push_back({"gen/binary-counter", lzring::workloads::BinaryCounter(opt.gen_size), false});
  }
  if (inputs.empty()) return Usage();

  // A RAM-backed scratch directory for the file-to-file rows.
  std::string dir_pattern =
      (fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path()) /
      "lzring-bench-XXXXXX";
  if (::mkdtemp(dir_pattern.data()) == nullptr) {
    std::perror("lzring_bench: mkdtemp");
    return 1;
  }
  const fs::path dir = dir_pattern;
  // Each file-to-file codec has files of its own, as all are prepared at once.
  const auto paths = [&dir](const char* prefix) {
    const std::string p = (dir / prefix).string();
    return FilePaths{p + "-src", p + "-packed", p + "-out"};
  };

  std::vector<std::unique_ptr<Codec>> all;
  all.push_back(std::make_unique<MemcpyCodec>());
  all.push_back(std::make_unique<LzringCabiCodec>(paths("cabi")));
  all.push_back(std::make_unique<LzringMemCodec>());
  all.push_back(std::make_unique<LzringMemCodec>(true));
  all.push_back(std::make_unique<LzringMemCodec>(true, 2));
#ifdef LZRING_BENCH_CPP_API
  all.push_back(std::make_unique<LzringPiecesCodec>("lzring-64k-cb", 64 * 1024, true));
  all.push_back(std::make_unique<LzringPiecesCodec>("lzring-4k-buf", 4 * 1024, false));
  all.push_back(std::make_unique<LzringPiecesCodec>("lzring-best-4k", 4 * 1024, false, true));
#endif
  all.push_back(std::make_unique<BytewiseFileCodec>(paths("bytewise")));
  all.push_back(std::make_unique<BytewiseMemCodec>());
  all.push_back(std::make_unique<ZlibCodec>(1));
  all.push_back(std::make_unique<ZlibCodec>(6));
  all.push_back(std::make_unique<Lz4Codec>());
  std::vector<Codec*> codecs;
  for (const auto& c : all) {
    if (opt.codecs.empty() ||
        std::find(opt.codecs.begin(), opt.codecs.end(), c->Name()) != opt.codecs.end()) {
      codecs.push_back(c.get());
    }
  }

  if (opt.threads_only) codecs.clear();
  std::printf(
      "# median of %d runs of at least %.2f s %s time; MB/s = 10^6 original bytes per second\n",
      opt.runs, opt.min_time, g_wall_clock ? "wall" : "process CPU");
  std::printf("%-24s %11s  %-13s %8s %9s %9s\n", "file", "bytes", "codec", "packed", "comp MB/s",
              "exp MB/s");
  std::map<std::string, Totals> totals;
  std::vector<std::string> order;
  const std::vector<Input> none;
  for (const Input& input : codecs.empty() ? none : inputs) {
    std::vector<Timed> compress;
    std::vector<Timed> expand;
    for (Codec* c : codecs) {
      const std::string what = input.name + " " + c->Name();
      c->Prepare(input.data);
      compress.push_back({[c] { c->Compress(); }, [] { return true; }, what});
      expand.push_back({[c] { c->Expand(); }, [c] { return c->Check(); }, what});
    }
    const std::vector<double> compress_s = MeasureInTurn(opt, compress);
    const std::vector<double> expand_s = MeasureInTurn(opt, expand);
    const double size = static_cast<double>(input.data.size());
    for (std::size_t k = 0; k < codecs.size(); ++k) {
      Codec* const c = codecs[k];
      const double packed = static_cast<double>(c->CompressedSize());
      PrintRow(input.name, size, c->Name(), packed, compress_s[k], expand_s[k]);
      if (input.in_total) {
        if (!totals.count(c->Name())) order.push_back(c->Name());
        Totals& t = totals[c->Name()];
        t.bytes += size;
        t.packed += packed;
        t.compress_s += compress_s[k];
        t.expand_s += expand_s[k];
      }
    }
  }
  for (const std::string& name : order) {
    const Totals& t = totals[name];
    PrintRow("TOTAL (files)", t.bytes, name.c_str(), t.packed, t.compress_s, t.expand_s);
  }
#ifdef LZRING_BENCH_CPP_API
  const unsigned max_threads = opt.threads != 0 ? opt.threads : lzring::ProcessorCount();
  if (max_threads > 1) {
    ThreadRows(opt, inputs, max_threads);
    CallRows(opt, inputs);
  }
#endif
  fs::remove_all(dir);
  return 0;
}
