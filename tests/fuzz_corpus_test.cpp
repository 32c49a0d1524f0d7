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
  }
}

}  // namespace
}  // namespace lzring
