// The std::streambuf adaptors: ostreambuf hands its put area to an encoder
// whose sink writes to the target stream; istreambuf reads blocks from the
// source stream into a decoder and lends the decoder's output as its get
// area.
#include "lzring/streambuf.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace lzring {
namespace {

std::span<const std::uint8_t> BytesOf(const char* data, std::size_t n) {
  return {reinterpret_cast<const std::uint8_t*>(data), n};
}

// A target with exceptions() set throws where another fails: either way the
// target has failed, and finish() returns false as for any failed target.
// The std::ostream over this buffer still throws when its own exceptions()
// ask for it, as it does for any buffer that fails.
template <class Call>
bool TargetSucceeds(std::ostream& target, Call&& call) {
  try {
    call();
  } catch (...) {
    return false;
  }
  return !target.fail();
}

}  // namespace

ostreambuf::ostreambuf(std::ostream& target)
    : target_(target), encoder_([this](std::span<const std::uint8_t> bytes) {
        return TargetSucceeds(target_, [&] {
          target_.write(reinterpret_cast<const char*>(bytes.data()),
                        static_cast<std::streamsize>(bytes.size()));
        });
      }) {
  setp(area_, area_ + sizeof area_);
}

ostreambuf::~ostreambuf() {
  try {
    finish();
  } catch (...) {
    // A destructor cannot report it; finish() would have.
  }
}

// Hands the put area to the encoder. After finish() there is no put area,
// so that every write comes here and fails.
bool ostreambuf::Drain() {
  if (done_) {
    late_write_ = true;
    return false;
  }
  const auto n = static_cast<std::size_t>(pptr() - pbase());
  setp(area_, area_ + sizeof area_);
  return encoder_.write(BytesOf(area_, n));
}

ostreambuf::int_type ostreambuf::overflow(int_type ch) {
  if (!Drain()) return traits_type::eof();
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  *pptr() = traits_type::to_char_type(ch);
  pbump(1);
  return ch;
}

std::streamsize ostreambuf::xsputn(const char_type* s, std::streamsize n) {
  // Large writes skip the put area.
  if (n < static_cast<std::streamsize>(sizeof area_)) return std::streambuf::xsputn(s, n);
  if (!Drain() || !encoder_.write(BytesOf(s, static_cast<std::size_t>(n)))) return 0;
  return n;
}

int ostreambuf::sync() {
  // Flushing after finish() writes nothing and fails only after a late write.
  if (done_ ? late_write_ : !Drain()) return -1;
  return TargetSucceeds(target_, [&] { target_.flush(); }) ? 0 : -1;
}

bool ostreambuf::finish() {
  if (done_) return !late_write_ && !encoder_.failed() && !target_.fail();
  const bool drained = Drain();
  done_ = true;
  setp(nullptr, nullptr);
  const bool finished = drained && encoder_.finish();
  return TargetSucceeds(target_, [&] { target_.flush(); }) && finished;
}

std::uint64_t ostreambuf::bytes_in() const noexcept {
  return encoder_.bytes_in() + static_cast<std::uint64_t>(pptr() - pbase());
}

std::uint64_t ostreambuf::bytes_out() const noexcept {
  return encoder_.bytes_out();
}

istreambuf::istreambuf(std::istream& source, std::uint64_t limit)
    : source_(source), decoder_({}, limit) {}

istreambuf::~istreambuf() = default;

istreambuf::int_type istreambuf::underflow() {
  // The get area is the decoder's output; what was read of it is taken.
  decoder_.consume(static_cast<std::size_t>(egptr() - eback()));
  setg(nullptr, nullptr, nullptr);
  for (;;) {
    const std::span<const std::uint8_t> out = decoder_.output();
    if (!out.empty()) {
      char* const begin = const_cast<char*>(reinterpret_cast<const char*>(out.data()));
      setg(begin, begin, begin + out.size());
      return traits_type::to_int_type(*begin);
    }
    // A failure ends the reading once the output before it has been read,
    // as the end of the stream does; failed() tells it. Throwing instead
    // would escape an istreambuf_iterator and hide the bytes a read() had
    // already copied.
    if (source_failed_ || decoder_.finished() || decoder_.at_limit()) {
      return traits_type::eof();
    }
    // A source with exceptions() set throws where another fails: the same
    // failure, reported the same way, after the bytes it delivered.
    bool threw = false;
    try {
      source_.read(block_, sizeof block_);
    } catch (...) {
      threw = true;
    }
    const auto got = static_cast<std::size_t>(source_.gcount());
    if (got > 0) decoder_.write(BytesOf(block_, got));
    if (threw || source_.bad() || (source_.fail() && !source_.eof())) {
      source_failed_ = true;
    } else if (source_.eof()) {
      decoder_.finish();
    }
  }
}

std::uint64_t istreambuf::bytes_used() const noexcept {
  return decoder_.bytes_used();
}

std::uint64_t istreambuf::bytes_out() const noexcept {
  return decoder_.bytes_out();
}

bool istreambuf::failed() const noexcept {
  return source_failed_ || decoder_.ended_early();
}

}  // namespace lzring
