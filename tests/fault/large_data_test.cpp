// Expanding a stream whose output passes 4 GiB, through the C entry point:
// nothing in the streams may count in 32 bits, and memory use must not grow
// with the size of the files.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "lzring.h"
#include "tests/support/test_util.h"

namespace {

constexpr std::uint64_t kFourGiB = std::uint64_t{1} << 32;
constexpr std::uint64_t kGroupOutput = 8 * 18;  // a group of eight longest references

long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST(LargeDataTest, ExpandsPastFourGiBInConstantMemory) {
  lzring::test::TempDir dir;
  const std::string src = dir / "stream";
  const std::string dst = dir / "expanded";

  // One group of eight literals "ABCDEFGH", then groups of eight references
  // of 18 bytes each to the position 8 bytes behind the write position, so
  // the output repeats the period of 8 until it is past 4 GiB. About 520 MB.
  const std::uint64_t groups = (kFourGiB + (std::uint64_t{1} << 27)) / kGroupOutput;
  const std::uint64_t expected_size = 8 + groups * kGroupOutput;
  {
    std::ofstream out(src, std::ios::binary);
    const char first[] = {'\xFF', 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'};
    out.write(first, sizeof first);
    std::uint32_t cur = 4078 + 8;
    std::vector<char> chunk;
    for (std::uint64_t g = 0; g < groups; ++g) {
      chunk.push_back(0);
      for (int unit = 0; unit < 8; ++unit) {
        const std::uint32_t position = (cur - 8) & 4095;
        chunk.push_back(static_cast<char>(position & 0xFF));
        chunk.push_back(static_cast<char>(((position >> 4) & 0xF0) | 0x0F));
        cur = (cur + 18) & 4095;
      }
      if (chunk.size() >= (1u << 20)) {
        out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        chunk.clear();
      }
    }
    out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    ASSERT_TRUE(out.good());
  }

  const long rss_before = PeakRssKiB();
  ASSERT_EQ(_Decode(src.c_str(), dst.c_str()), 0);
  const long rss_growth = PeakRssKiB() - rss_before;
  std::printf("expanded %llu bytes; peak resident memory grew by %ld KiB\n",
              static_cast<unsigned long long>(expected_size), rss_growth);
  EXPECT_LT(rss_growth, 16 * 1024) << "memory use grew with the file";

  // The whole output, checked in chunks.
  std::ifstream in(dst, std::ios::binary);
  std::vector<char> buffer(1 << 20);
  std::uint64_t offset = 0;
  bool pattern_ok = true;
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const std::streamsize n = in.gcount();
    for (std::streamsize i = 0; i < n && pattern_ok; ++i) {
      pattern_ok = buffer[i] == static_cast<char>('A' + (offset + i) % 8);
    }
    offset += static_cast<std::uint64_t>(n);
  }
  EXPECT_TRUE(pattern_ok) << "wrong byte before offset " << offset;
  EXPECT_EQ(offset, expected_size);
  EXPECT_GT(offset, kFourGiB);
  // A size that does not fit the 32-bit result is reported as -1.
  EXPECT_EQ(_GetFileSize(dst.c_str()), -1);
}

}  // namespace
