// The encoder and decoder objects fed in pieces give exactly what the
// one-shot functions give, whatever the piece sizes; and bounded expansion
// of one stream among several in a container, in memory, over a descriptor
// and piece by piece, returns exactly that stream's source and uses exactly
// its bytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "lzring/lzring.hpp"
#include "tests/support/test_util.h"
#include "tests/support/workloads.h"

namespace lzring {
namespace {

using test::Bytes;

// ---- Piece sizes ----------------------------------------------------------

struct Pattern {
  const char* name;
  std::function<std::size_t(std::mt19937&)> next;
  bool corpus;  // also run over the corpus files
};

void PrintTo(const Pattern& p, std::ostream* os) {
  *os << p.name;
}

std::vector<Pattern> Patterns() {
  return {
      {"whole", [](std::mt19937&) { return SIZE_MAX; }, false},
      {"single_bytes", [](std::mt19937&) { return std::size_t{1}; }, false},
      {"empty_and_tiny", [](std::mt19937& r) { return std::size_t{r() % 3}; }, false},
      {"around_a_unit", [](std::mt19937& r) { return std::size_t{16 + r() % 4}; }, false},
      {"around_a_block", [](std::mt19937& r) { return std::size_t{4094 + r() % 5}; }, false},
      // 1 byte to 1 MiB, each power of two as likely.
      {"random_up_to_1mib",
       [](std::mt19937& r) {
         const unsigned bits = r() % 21;
         return (std::size_t{1} << bits) + r() % (std::size_t{1} << bits);
       },
       true},
  };
}

// Feeds `data` in pieces of the pattern's sizes.
void Feed(const Bytes& data, const Pattern& pattern, std::uint32_t seed,
          const std::function<void(std::span<const std::uint8_t>)>& write) {
  std::mt19937 rng(seed);
  std::span<const std::uint8_t> rest(data);
  do {
    const std::size_t n = std::min(pattern.next(rng), rest.size());
    write(rest.first(n));
    rest = rest.subspan(n);
  } while (!rest.empty());
}

// Collects a sink's output.
sink_fn Into(Bytes& out) {
  return [&out](std::span<const std::uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
    return true;
  };
}

struct Input {
  std::string name;
  Bytes data;
};

std::vector<Input> Inputs(bool corpus) {
  std::vector<Input> inputs = {
      {"empty", {}},
      {"one_byte", {0x41}},
      {"seventeen", test::TextBytes(17, 1)},
      {"eighteen", test::TextBytes(18, 2)},
      {"nineteen", test::TextBytes(19, 3)},
      {"text", test::TextBytes(150000, 4)},
      {"random", test::RandomBytes(70000, 5)},
      {"zeros", Bytes(70000, 0)},
      // Chain-like trees: the walks switch to the index of long runs, whose
      // state must carry across pieces too.
      {"sorted_records", workloads::SortedRecords(300000)},
  };
  if (corpus) {
    for (const char* name : {"canterbury/alice29.txt", "canterbury/kennedy.xls", "canterbury/ptt5",
                             "canterbury/sum", "artificial/aaa.txt"}) {
      const std::string path = test::CorpusFile(name);
      if (!path.empty()) inputs.push_back({name, test::ReadFile(path)});
    }
  }
  return inputs;
}

class Pieces : public ::testing::TestWithParam<Pattern> {};

TEST_P(Pieces, GiveTheOneShotBytes) {
  const Pattern& pattern = GetParam();
  codec c;
  std::uint32_t seed = 0;
  for (const Input& input : Inputs(pattern.corpus)) {
    SCOPED_TRACE(input.name);
    const Bytes& plain = input.data;
    const Bytes packed = c.compress(plain);

    // Into the object, drained after every piece.
    encoder drained;
    Bytes out;
    auto drain = [&out](auto& object) {
      std::uint8_t block[1000];
      while (const std::size_t n = object.read(block)) out.insert(out.end(), block, block + n);
    };
    Feed(plain, pattern, ++seed, [&](std::span<const std::uint8_t> piece) {
      ASSERT_TRUE(drained.write(piece));
      drain(drained);
    });
    ASSERT_TRUE(drained.finish());
    drain(drained);
    EXPECT_EQ(out, packed);
    EXPECT_EQ(drained.bytes_in(), plain.size());
    EXPECT_EQ(drained.bytes_out(), packed.size());

    // To a sink.
    Bytes sunk;
    encoder to_sink(Into(sunk));
    Feed(plain, pattern, ++seed, [&](auto piece) { ASSERT_TRUE(to_sink.write(piece)); });
    ASSERT_TRUE(to_sink.finish());
    EXPECT_EQ(sunk, packed);

    // Expansion, both ways; every whole group's output is out at once.
    out.clear();
    decoder expander;
    Feed(packed, pattern, ++seed, [&](std::span<const std::uint8_t> piece) {
      ASSERT_TRUE(expander.write(piece));
      EXPECT_EQ(expander.output().size(), expander.bytes_out() - out.size());
      out.insert(out.end(), expander.output().begin(), expander.output().end());
      expander.consume(expander.output().size());
    });
    ASSERT_TRUE(expander.finish());
    drain(expander);
    EXPECT_EQ(out, plain);
    EXPECT_EQ(expander.bytes_used(), packed.size());
    EXPECT_FALSE(expander.ended_early());

    sunk.clear();
    decoder to_plain(Into(sunk));
    Feed(packed, pattern, ++seed, [&](auto piece) { ASSERT_TRUE(to_plain.write(piece)); });
    ASSERT_TRUE(to_plain.finish());
    EXPECT_EQ(sunk, plain);

    // The smallest stream: the encoder with `best` fed in these pieces
    // gives the codec's with set_best, on any number of threads, no larger
    // than the exact stream, and it expands to the input.
    codec smallest(2);
    smallest.set_best(true);
    ASSERT_TRUE(smallest.best());
    const Bytes best = smallest.compress(plain);
    EXPECT_LE(best.size(), packed.size());
    EXPECT_EQ(c.expand(best), plain);
    Bytes best_sunk;
    encoder best_encoder(Into(best_sunk), 3, true);
    Feed(plain, pattern, ++seed, [&](auto piece) { ASSERT_TRUE(best_encoder.write(piece)); });
    ASSERT_TRUE(best_encoder.finish());
    EXPECT_EQ(best_sunk, best);
    EXPECT_EQ(best_encoder.bytes_out(), best.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Patterns, Pieces, ::testing::ValuesIn(Patterns()),
                         [](const auto& info) { return std::string(info.param.name); });

// Arbitrary bytes as compressed input, cut anywhere: the same as expand().
TEST(Pieces, ArbitraryInputExpandsAsInOnePiece) {
  const Bytes noise = test::RandomBytes(20000, 6);
  const Bytes expected = expand(noise);
  for (const Pattern& pattern : Patterns()) {
    Bytes out;
    decoder d(Into(out));
    Feed(noise, pattern, 7, [&](auto piece) { d.write(piece); });
    ASSERT_TRUE(d.finish());
    EXPECT_EQ(out, expected) << pattern.name;
  }
}

TEST(Pieces, ASinkThatRefusesOrThrowsFailsTheObject) {
  const Bytes plain = test::TextBytes(200000, 8);
  encoder refused([](auto) { return false; });
  EXPECT_FALSE(refused.write(plain));
  EXPECT_TRUE(refused.failed());
  EXPECT_FALSE(refused.finish());

  decoder throwing([](auto) -> bool { throw std::runtime_error("full"); });
  EXPECT_THROW(throwing.write(compress(plain)), std::runtime_error);
  EXPECT_TRUE(throwing.failed());
  EXPECT_FALSE(throwing.write(plain));

  // reset() starts over with a working object.
  Bytes out;
  encoder e(Into(out));
  ASSERT_TRUE(e.write(plain));
  e.reset();
  out.clear();
  ASSERT_TRUE(e.write(plain) && e.finish());
  EXPECT_EQ(out, compress(plain));
}

// ---- Where a stream fed in pieces ends -------------------------------------

// Every unit is out as soon as its bytes have arrived: once the whole stream
// is written, with or without bytes after it, all of its output is out and a
// decoder bounded to its size is at the limit, before finish().
TEST(Pieces, EveryUnitIsOutOnceItsBytesArrive) {
  const std::vector<Input> inputs = {{"empty", {}},
                                     {"a", test::FromText("a")},
                                     {"abc", test::FromText("abc")},
                                     {"hello_world", test::FromText("hello world")},
                                     {"text_4097", test::TextBytes(4097, 40)},
                                     {"noise_64k", test::RandomBytes(65536, 41)}};
  enum Feeding { kWhole, kSingleBytes, kOneByteReads };
  std::uint32_t seed = 50;
  for (const Input& input : inputs) {
    const Bytes packed = compress(input.data);
    for (const std::size_t after : {0, 1, 9, 13, 14, 300}) {
      Bytes stream = packed;
      const Bytes junk = test::RandomBytes(after, ++seed);
      stream.insert(stream.end(), junk.begin(), junk.end());
      const std::uint64_t unbounded_size = expanded_size(stream);
      for (const Feeding feeding : {kWhole, kSingleBytes, kOneByteReads}) {
        SCOPED_TRACE(input.name + " +" + std::to_string(after) + " feeding " +
                     std::to_string(feeding));
        decoder bounded({}, input.data.size());
        decoder unbounded;
        Bytes out;
        std::size_t written = 0;
        const std::size_t piece = feeding == kSingleBytes ? 1 : stream.size();
        do {
          const std::size_t n = std::min(piece, stream.size() - written);
          const std::span<const std::uint8_t> bytes(stream.data() + written, n);
          ASSERT_TRUE(bounded.write(bytes));
          ASSERT_TRUE(unbounded.write(bytes));
          written += n;
          std::uint8_t one;
          if (feeding == kOneByteReads) {
            while (bounded.read({&one, 1}) == 1) out.push_back(one);
          } else {
            out.insert(out.end(), bounded.output().begin(), bounded.output().end());
            bounded.consume(bounded.output().size());
          }
          if (written >= packed.size()) {
            EXPECT_EQ(out, input.data);
            EXPECT_TRUE(bounded.at_limit());
            EXPECT_EQ(bounded.bytes_used(), packed.size());
          }
        } while (written < stream.size());
        // Nothing held back: what the input so far expands to is out.
        EXPECT_EQ(unbounded.bytes_out(), unbounded_size);
        ASSERT_TRUE(bounded.finish() && unbounded.finish());
        EXPECT_TRUE(bounded.output().empty());
        EXPECT_FALSE(bounded.ended_early());
        EXPECT_EQ(bounded.bytes_used(), packed.size());
        EXPECT_EQ(bounded.bytes_in(), stream.size());
        EXPECT_EQ(unbounded.bytes_out(), unbounded_size);
      }
    }
  }
}

// ---- Streams inside a container ------------------------------------------

// A container: junk, then streams and junk in turn; the last stream ends
// the container.
struct Container {
  Bytes bytes;
  std::vector<Bytes> sources;
  std::vector<std::size_t> offsets;
  std::vector<std::size_t> sizes;  // compressed
};

const Container& TheContainer() {
  static const Container container = [] {
    Container c;
    const std::vector<Bytes> sources = {test::TextBytes(3000, 10), test::RandomBytes(500, 11),
                                        Bytes{}, Bytes(5000, 0), test::TextBytes(70000, 12)};
    const std::vector<std::size_t> junk_before = {37, 5, 0, 0, 300};
    std::uint32_t seed = 20;
    for (std::size_t i = 0; i < sources.size(); ++i) {
      const Bytes junk = test::RandomBytes(junk_before[i], ++seed);
      c.bytes.insert(c.bytes.end(), junk.begin(), junk.end());
      const Bytes packed = compress(sources[i]);
      c.sources.push_back(sources[i]);
      c.offsets.push_back(c.bytes.size());
      c.sizes.push_back(packed.size());
      c.bytes.insert(c.bytes.end(), packed.begin(), packed.end());
    }
    return c;
  }();
  return container;
}

// The shortest start of `stream` that expands to at least `n` bytes: where
// the unit producing byte n ends. Prefixes expand to complete units only,
// and their expanded sizes grow with their length.
std::size_t EndOfUnitProducing(std::span<const std::uint8_t> stream, std::uint64_t n) {
  std::size_t low = 0;
  std::size_t high = stream.size();
  while (low < high) {
    const std::size_t mid = (low + high) / 2;
    if (expanded_size(stream.first(mid)) >= n) {
      high = mid;
    } else {
      low = mid + 1;
    }
  }
  return low;
}

struct ContainerCase {
  const char* name;
  std::size_t stream;
  std::int64_t size_change;  // the size asked for: the source's size plus this
};

void PrintTo(const ContainerCase& c, std::ostream* os) {
  *os << c.name;
}

class InContainer : public ::testing::TestWithParam<ContainerCase> {};

TEST_P(InContainer, BoundedExpansionTakesExactlyTheStream) {
  const Container& box = TheContainer();
  const ContainerCase& tc = GetParam();
  const Bytes& source = box.sources[tc.stream];
  const std::size_t offset = box.offsets[tc.stream];
  const auto limit =
      static_cast<std::uint64_t>(static_cast<std::int64_t>(source.size()) + tc.size_change);
  const std::span<const std::uint8_t> from = std::span(box.bytes).subspan(offset);
  // What every path must report.
  const bool ended = limit > source.size();
  const std::uint64_t produced = ended ? source.size() : limit;
  const Bytes expected(source.begin(), source.begin() + static_cast<std::ptrdiff_t>(produced));
  const std::size_t used =
      limit == source.size() ? box.sizes[tc.stream] : EndOfUnitProducing(from, produced);
  if (limit == source.size()) {
    EXPECT_EQ(used, EndOfUnitProducing(from, produced));
  }

  // In memory.
  codec c;
  Bytes out(limit);
  const bounded_result mem = c.expand_bounded(from, out);
  EXPECT_EQ(mem.bytes_out, produced);
  EXPECT_EQ(mem.bytes_used, used);
  EXPECT_EQ(mem.ended, ended);
  EXPECT_EQ(static_cast<bool>(mem), !ended);
  out.resize(mem.bytes_out);
  EXPECT_EQ(out, expected);

  // Over descriptors, from the stream's offset.
  test::TempDir dir;
  test::WriteFile(dir / "container", box.bytes);
  const int in_fd = ::open((dir / "container").c_str(), O_RDONLY);
  const int out_fd = ::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_EQ(::lseek(in_fd, static_cast<off_t>(offset), SEEK_SET), static_cast<off_t>(offset));
  const bounded_result fd = c.expand_fd_bounded(in_fd, out_fd, limit);
  ::close(in_fd);
  ::close(out_fd);
  EXPECT_FALSE(fd.read_error || fd.write_error);
  EXPECT_EQ(fd.bytes_out, produced);
  EXPECT_EQ(fd.bytes_used, used);
  EXPECT_EQ(fd.ended, ended);
  EXPECT_EQ(test::ReadFile(dir / "out"), expected);

  // Piece by piece, the rest of the container following: each write tells
  // how much of its piece the stream took, and what follows the stream is
  // the rest of the pieces.
  for (const Pattern& pattern : Patterns()) {
    SCOPED_TRACE(pattern.name);
    Bytes sunk;
    decoder d(Into(sunk), limit);
    const Bytes rest(from.begin(), from.end());
    std::size_t taken = 0;
    Bytes after;
    Feed(rest, pattern, 30, [&](auto piece) {
      std::size_t n = SIZE_MAX;
      ASSERT_TRUE(d.write(piece, n));
      ASSERT_LE(n, piece.size());
      taken += n;
      after.insert(after.end(), piece.begin() + static_cast<std::ptrdiff_t>(n), piece.end());
    });
    ASSERT_TRUE(d.finish());
    EXPECT_EQ(sunk, expected);
    EXPECT_EQ(d.bytes_used(), used);
    EXPECT_EQ(taken, ended ? rest.size() : used);
    EXPECT_EQ(after, Bytes(rest.begin() + static_cast<std::ptrdiff_t>(taken), rest.end()));
    EXPECT_EQ(d.at_limit(), !ended);
    EXPECT_EQ(d.ended_early(), ended);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InContainer,
    ::testing::Values(ContainerCase{"text_after_junk", 0, 0},
                      ContainerCase{"random_followed_by_a_stream", 1, 0},
                      ContainerCase{"empty_stream", 2, 0}, ContainerCase{"runs_of_zeros", 3, 0},
                      ContainerCase{"stop_inside_a_reference", 3, -4900},
                      ContainerCase{"stop_after_one_byte", 0, -2999},
                      ContainerCase{"nothing_asked", 4, -70000},
                      ContainerCase{"last_stream_whole", 4, 0},
                      ContainerCase{"last_stream_ends_before_the_size", 4, 1000}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lzring
