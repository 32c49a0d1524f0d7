// Many threads at once: through the C entry points, whose calls take turns
// on the one shared workspace, and through independent C++ codec objects,
// which run truly in parallel. Every output is checked, and no descriptor may
// be left open. Built with ThreadSanitizer by scripts/tsan.sh.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "codec/encode_loop.h"
#include "codec/memory_sinks.h"
#include "codec/ring_trees.h"
#include "lzring.h"
#include "lzring/lzring.hpp"
#include "tests/support/memory_codec.h"
#include "tests/support/test_util.h"

namespace lzring {
namespace {

using test::DecodeInMemory;
using test::EncodeInMemory;

using test::Bytes;

constexpr int kThreads = 8;
constexpr int kCallsPerThread = 300;
constexpr int kSourcesPerThread = 4;

// Each thread's data: sources of several shapes and sizes (the empty one
// included) with their compressed forms, computed before the threads start.
struct Sample {
  Bytes source;
  Bytes compressed;
};

// "<base><tag><number>", built with append: the operator+ chains trip a false
// -Wrestrict warning of g++ 12 at -O3.
std::string FileName(const std::string& base, const char* tag, int number) {
  std::string name = base;
  name.append(tag).append(std::to_string(number));
  return name;
}

std::vector<std::vector<Sample>> MakeSamples() {
  std::vector<std::vector<Sample>> all(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    for (int k = 0; k < kSourcesPerThread; ++k) {
      const std::uint32_t seed = static_cast<std::uint32_t>(t * 16 + k);
      const std::size_t size = k == 0 ? 0 : static_cast<std::size_t>(500 + 1700 * k + 37 * t);
      Sample s;
      s.source = k % 2 == 0 ? test::TextBytes(size, seed) : test::RandomBytes(size, seed);
      s.compressed = EncodeInMemory(s.source);
      all[t].push_back(std::move(s));
    }
  }
  return all;
}

TEST(StressTest, EntryPointsFromEightThreads) {
  const auto samples = MakeSamples();
  test::TempDir dir;
  const int fds_before = test::CountOpenFds();
  std::atomic<int> calls{0};
  std::atomic<int> failures{0};

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const auto& mine = samples[t];
      const std::string prefix = FileName(dir / "thread", "", t) + "-";
      for (int k = 0; k < kSourcesPerThread; ++k) {
        test::WriteFile(FileName(prefix, "src", k), mine[k].source);
        test::WriteFile(FileName(prefix, "cmp", k), mine[k].compressed);
      }
      const std::string encoded = prefix + "encoded";
      const std::string decoded = prefix + "decoded";
      std::mt19937 gen(static_cast<std::uint32_t>(t));
      for (int i = 0; i < kCallsPerThread; ++i) {
        const int k = static_cast<int>(gen() % kSourcesPerThread);
        const std::string src = FileName(prefix, "src", k);
        const std::string cmp = FileName(prefix, "cmp", k);
        bool ok = false;
        switch (gen() % 3) {
          case 0:
            ok = _Encode(src.c_str(), encoded.c_str()) == 0 &&
                 test::ReadFile(encoded) == mine[k].compressed;
            break;
          case 1:
            ok = _Decode(cmp.c_str(), decoded.c_str()) == 0 &&
                 test::ReadFile(decoded) == mine[k].source;
            break;
          default:
            ok = _GetFileSize(cmp.c_str()) == static_cast<std::int32_t>(mine[k].compressed.size());
            break;
        }
        if (!ok) ++failures;
        ++calls;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(calls.load(), kThreads * kCallsPerThread);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(test::CountOpenFds(), fds_before);
}

TEST(StressTest, IndependentCodecObjectsInParallel) {
  const auto samples = MakeSamples();
  test::TempDir dir;
  const int fds_before = test::CountOpenFds();
  std::atomic<int> calls{0};
  std::atomic<int> failures{0};

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const auto& mine = samples[t];
      lzring::codec codec;
      const std::string prefix = FileName(dir / "thread", "", t) + "-";
      const std::string src = prefix + "src";
      const std::string encoded = prefix + "encoded";
      const std::string decoded = prefix + "decoded";
      std::mt19937 gen(static_cast<std::uint32_t>(t + 100));
      Bytes out;
      for (int i = 0; i < kCallsPerThread; ++i) {
        const Sample& s = mine[gen() % kSourcesPerThread];
        bool ok = false;
        switch (gen() % 4) {
          case 0:
            codec.compress(s.source, out);
            ok = out == s.compressed;
            break;
          case 1:
            codec.expand(s.compressed, out);
            ok = out == s.source && codec.expanded_size(s.compressed) == s.source.size();
            break;
          case 2:
            test::WriteFile(src, s.source);
            ok = static_cast<bool>(codec.compress_file(src, encoded)) &&
                 test::ReadFile(encoded) == s.compressed;
            break;
          default:
            test::WriteFile(src, s.compressed);
            ok = static_cast<bool>(codec.expand_file(src, decoded)) &&
                 test::ReadFile(decoded) == s.source;
            break;
        }
        if (!ok) ++failures;
        ++calls;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(calls.load(), kThreads * kCallsPerThread);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(test::CountOpenFds(), fds_before);
}

}  // namespace
}  // namespace lzring
