// The std::streambuf adaptors: iostream code writes and reads compressed
// data through files and string streams, and a failure of the stream
// underneath is a failed state, never success.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include "lzring/lzring.hpp"
#include "lzring/streambuf.hpp"
#include "tests/support/test_util.h"

namespace lzring {
namespace {

using test::Bytes;

// Text in lines and a block of binary data, written the usual ways.
const std::string& Lines() {
  static const std::string text = [] {
    std::string s;
    for (int k = 0; k < 5000; ++k) s += "line " + std::to_string(k * 7919 % 1000) + " of text\n";
    return s;
  }();
  return text;
}

void WriteAll(std::ostream& out) {
  const Bytes binary = test::RandomBytes(100000, 3);
  out << Lines();
  out.write(reinterpret_cast<const char*>(binary.data()),
            static_cast<std::streamsize>(binary.size()));
  out.put('!');
}

std::string Everything() {
  std::ostringstream plain;
  WriteAll(plain);
  return plain.str();
}

void ReadBackAndCheck(std::istream& in) {
  std::string line;
  std::string text;
  for (int k = 0; k < 5000 && std::getline(in, line); ++k) text += line + "\n";
  EXPECT_EQ(text, Lines());
  const std::string rest{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_EQ(rest, Everything().substr(Lines().size()));
  EXPECT_FALSE(in.bad());
}

TEST(Streambuf, RoundTripThroughFiles) {
  test::TempDir dir;
  {
    std::ofstream file(dir / "data.lzr", std::ios::binary);
    ostreambuf packer(file);
    std::ostream out(&packer);
    WriteAll(out);
    EXPECT_TRUE(out.good());
    ASSERT_TRUE(packer.finish());
    EXPECT_EQ(packer.bytes_in(), Everything().size());
  }
  const std::string all = Everything();
  EXPECT_EQ(test::ReadFile(dir / "data.lzr"), compress(Bytes(all.begin(), all.end())));

  std::ifstream file(dir / "data.lzr", std::ios::binary);
  istreambuf expander(file);
  std::istream in(&expander);
  ReadBackAndCheck(in);
  EXPECT_EQ(expander.bytes_used(), test::ReadFile(dir / "data.lzr").size());
}

TEST(Streambuf, RoundTripThroughStringStreamsWithAStreamAfter) {
  std::stringstream box;
  box << "head";
  ostreambuf packer(box);
  {
    std::ostream out(&packer);
    WriteAll(out);
  }
  ASSERT_TRUE(packer.finish());
  box << "tail";

  // Read the stream back with its size, then what follows it.
  ASSERT_EQ(box.seekg(4).tellg(), 4);
  istreambuf expander(box, Everything().size());
  std::istream in(&expander);
  ReadBackAndCheck(in);
  EXPECT_EQ(expander.bytes_used(), packer.bytes_out());
  box.clear();
  box.seekg(static_cast<std::streamoff>(4 + expander.bytes_used()));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(box), {}), "tail");
}

// A stream buffer that gives `good` bytes and then fails.
class BrokenBuf : public std::streambuf {
 public:
  explicit BrokenBuf(std::string good) : good_(std::move(good)) {
    setg(good_.data(), good_.data(), good_.data() + good_.size());
  }

 protected:
  int_type underflow() override { throw std::runtime_error("device lost"); }
  int_type overflow(int_type) override { return traits_type::eof(); }

 private:
  std::string good_;
};

TEST(Streambuf, AFailedStreamUnderneathIsAFailure) {
  // Writing: the target refuses every byte.
  BrokenBuf refuses("");
  std::ostream target(&refuses);
  ostreambuf packer(target);
  std::ostream out(&packer);
  WriteAll(out);
  EXPECT_TRUE(out.bad());
  EXPECT_FALSE(packer.finish());

  // The same target set to throw: the same failure, and nothing thrown.
  std::ostream throwing(&refuses);
  throwing.exceptions(std::ios::badbit);
  ostreambuf throwing_packer(throwing);
  std::ostream out_throwing(&throwing_packer);
  EXPECT_NO_THROW(WriteAll(out_throwing));
  EXPECT_TRUE(out_throwing.bad());
  bool finished = true;
  EXPECT_NO_THROW(finished = throwing_packer.finish());
  EXPECT_FALSE(finished);

  // A file that cannot be written: the failure shows when it is flushed.
  std::ofstream full("/dev/full", std::ios::binary);
  ostreambuf to_full(full);
  std::ostream small(&to_full);
  small << "short";
  EXPECT_FALSE(to_full.finish());
}

// Writes after finish() fail, whatever their size, and leave the stream
// as finished.
TEST(Streambuf, WritesAfterFinishFail) {
  const std::string big(10000, 'x');
  const std::function<void(std::ostream&)> writes[] = {
      [](std::ostream& out) { out.put('a'); },
      [](std::ostream& out) { out << "some text"; },
      [&big](std::ostream& out) {
        out.write(big.data(), static_cast<std::streamsize>(big.size()));
      },
      [](std::ostream& out) { out << 'a' << std::flush; },
  };
  for (std::size_t row = 0; row < std::size(writes); ++row) {
    std::ostringstream target;
    ostreambuf packer(target);
    std::ostream out(&packer);
    out << "before";
    ASSERT_TRUE(packer.finish());
    out << std::flush;
    EXPECT_TRUE(out.good()) << row;  // flushing alone is no write
    writes[row](out);
    EXPECT_TRUE(out.bad()) << row;
    EXPECT_EQ(packer.bytes_in(), 6u) << row;
    EXPECT_FALSE(packer.finish()) << row;
    EXPECT_EQ(test::FromText(target.str()), compress(test::FromText("before"))) << row;
  }
}

// Each way of reading, over each failure: the bytes before the failure
// arrive, nothing is thrown, read() counts what it copied, and failed()
// tells the failure.
TEST(Streambuf, ReadingEndsAtAFailureWithTheBytesBeforeIt) {
  const std::string all = Everything();
  const Bytes packed = compress(Bytes(all.begin(), all.end()));
  test::TempDir dir;
  using Reader = std::function<std::string(std::istream&)>;
  const std::pair<const char*, Reader> readers[] = {
      {"get",
       [](std::istream& in) {
         std::string got;
         for (char ch; in.get(ch);) got += ch;
         return got;
       }},
      {"read",
       [](std::istream& in) {
         std::string got(1 << 20, '\0');
         in.read(got.data(), static_cast<std::streamsize>(got.size()));
         got.resize(static_cast<std::size_t>(in.gcount()));
         return got;
       }},
      {"iterator",
       [](std::istream& in) {
         return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
       }},
      {"getline",
       [](std::istream& in) {
         std::string got;
         for (std::string line; std::getline(in, line);) got += in.eof() ? line : line + "\n";
         return got;
       }},
  };
  for (const auto& [how, read] : readers) {
    // The source fails part way.
    BrokenBuf cut(std::string(packed.begin(), packed.begin() + 10000));
    std::istream source(&cut);
    istreambuf broken(source);
    std::istream in(&broken);
    std::string got;
    EXPECT_NO_THROW(got = read(in)) << how;
    EXPECT_GT(got.size(), 0u) << how;
    EXPECT_EQ(got, all.substr(0, got.size())) << how;
    EXPECT_TRUE(broken.failed()) << how;

    // The same source set to throw: the same bytes, and nothing thrown.
    BrokenBuf cut_again(std::string(packed.begin(), packed.begin() + 10000));
    std::istream throwing(&cut_again);
    throwing.exceptions(std::ios::badbit);
    istreambuf thrown(throwing);
    std::istream in_thrown(&thrown);
    std::string got_thrown;
    EXPECT_NO_THROW(got_thrown = read(in_thrown)) << how;
    EXPECT_EQ(got_thrown, got) << how;
    EXPECT_TRUE(thrown.failed()) << how;

    // It never opened.
    std::ifstream missing(dir / "missing", std::ios::binary);
    istreambuf from_missing(missing);
    std::istream none(&from_missing);
    EXPECT_EQ(read(none), "") << how;
    EXPECT_TRUE(from_missing.failed()) << how;

    // The stream is shorter than the size asked for: all of it arrives.
    std::istringstream whole(std::string(packed.begin(), packed.end()));
    istreambuf too_far(whole, all.size() + 1);
    std::istream longer(&too_far);
    EXPECT_EQ(read(longer), all) << how;
    EXPECT_TRUE(too_far.failed()) << how;

    // No failure.
    std::istringstream good(std::string(packed.begin(), packed.end()));
    istreambuf fine(good, all.size());
    std::istream plain(&fine);
    EXPECT_EQ(read(plain), all) << how;
    EXPECT_FALSE(fine.failed()) << how;
  }
}

}  // namespace
}  // namespace lzring
