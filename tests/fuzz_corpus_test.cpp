// Replays the fuzzing seeds in fuzz/corpus/<target>/ through the ordinary
// test build, checking the properties the fuzz targets check. An input that
// once broke a property is added to that folder and so stays a regression
// test here, without clang or libFuzzer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "codec/decode_loop.h"
#include "codec/encode_loop.h"
#include "codec/memory_sinks.h"
#include "codec/memory_source.h"
#include "codec/ring_trees.h"
#include "mcu/lzring_mcu.h"
#include "tests/support/reference_codec.h"
#include "tests/support/test_util.h"

namespace lzring {
namespace {

using test::Bytes;

std::vector<std::string> CorpusFiles() {
  std::vector<std::string> files;
#ifdef LZRING_SOURCE_DIR
  const std::filesystem::path root = std::filesystem::path(LZRING_SOURCE_DIR) / "fuzz" / "corpus";
  std::error_code ec;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root, ec)) {
    if (entry.is_regular_file()) files.push_back(entry.path().string());
  }
#endif
  std::sort(files.begin(), files.end());
  return files;
}

TEST(FuzzCorpusTest, SeedsArePresent) {
  EXPECT_GE(CorpusFiles().size(), 10u);
}

// Every seed, as a compressed stream and as a source to compress.
TEST(FuzzCorpusTest, EverySeedKeepsTheFuzzedProperties) {
  auto ws = std::make_unique<RingTrees>();
  auto runs = std::make_unique<RunIndex>();
  auto ref = std::make_unique<reference::State>();
  auto mcu_encoder = std::make_unique<lzring_mcu_encoder>();
  auto mcu_decoder = std::make_unique<lzring_mcu_decoder>();
  for (const std::string& path : CorpusFiles()) {
    SCOPED_TRACE(path);
    const Bytes data = test::ReadFile(path);

    Bytes expanded;
    {
      MemorySource in(data.data(), data.size());
      VectorSink sink(expanded);
      EXPECT_TRUE(DecodeStream(ws->ring, in, sink));
    }
    EXPECT_LE(expanded.size(), 9 * data.size());
    EXPECT_EQ(expanded, reference::DecodeBuffer(*ref, data.data(), data.size()));

    Bytes compressed;
    {
      MemorySource in(data.data(), data.size());
      VectorSink sink(compressed);
      EXPECT_TRUE(EncodeStream(*ws, *runs, in, sink));
    }
    EXPECT_LE(compressed.size(), data.size() + (data.size() + 7) / 8);
    EXPECT_EQ(compressed, reference::EncodeBuffer(*ref, data.data(), data.size()));

    Bytes back;
    {
      MemorySource in(compressed.data(), compressed.size());
      VectorSink sink(back);
      EXPECT_TRUE(DecodeStream(ws->ring, in, sink));
    }
    EXPECT_EQ(back, data);

    // The small core for microcontrollers, given everything at once.
    const std::uint8_t none = 0;
    const std::uint8_t* const in = data.empty() ? &none : data.data();
    Bytes mcu_out(compressed.size() + 1);
    std::size_t taken = data.size();
    std::size_t made = mcu_out.size();
    lzring_mcu_encoder_init(mcu_encoder.get());
    EXPECT_EQ(lzring_mcu_encode(mcu_encoder.get(), in, &taken, mcu_out.data(), &made, 1),
              LZRING_MCU_END);
    EXPECT_EQ(Bytes(mcu_out.begin(), mcu_out.begin() + static_cast<std::ptrdiff_t>(made)),
              compressed);
    mcu_out.assign(expanded.size() + 1, 0);
    taken = data.size();
    made = mcu_out.size();
    lzring_mcu_decoder_init(mcu_decoder.get(), LZRING_MCU_NO_LIMIT);
    lzring_mcu_decode(mcu_decoder.get(), in, &taken, mcu_out.data(), &made);
    EXPECT_EQ(Bytes(mcu_out.begin(), mcu_out.begin() + static_cast<std::ptrdiff_t>(made)),
              expanded);
  }
}

}  // namespace
}  // namespace lzring
