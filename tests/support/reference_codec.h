// A plain rendering of the codec, one byte at a time, kept beside the tests
// as the oracle for the optimised decoder, match tree and encoder.
//
// It follows the algorithm step by step with no shortcuts: the decoder keeps
// its group state in a flags word with a run of ones above the flag byte,
// reads each stream byte through Get() and writes each output byte through
// Put(); the match tree compares strings byte by byte; the encoder hands each
// group to the sink one byte at a time. It has its own state, so it shares
// no code with the optimised loops it checks.
//
// Byte readers have `int Get()` (the byte, or -1 at the end of input);
// byte writers have `bool Put(std::uint8_t)` (false when the write failed).
#ifndef LZRING_TESTS_REFERENCE_CODEC_H
#define LZRING_TESTS_REFERENCE_CODEC_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lzring::reference {

inline constexpr std::int32_t kRing = 4096;
inline constexpr std::int32_t kMask = kRing - 1;
inline constexpr std::int32_t kMaxMatch = 18;
inline constexpr std::int32_t kMinMatch = 3;
inline constexpr std::int32_t kStart = kRing - kMaxMatch;  // 4078
inline constexpr std::int32_t kNil = kRing;                // null link, 4096
inline constexpr std::int32_t kRoots = kRing + 1;          // tree c hangs from right[4097 + c]

// Everything one codec call works in. Each stream starts from spaces at ring
// positions 0..4077 and zero at 4078..4112, as the library's workspace does.
struct State {
  std::int32_t parent[kRing + 1];
  std::int32_t left[kRing + 1];
  std::int32_t right[kRing + 1 + 256];
  std::uint8_t ring[kRing + kMaxMatch - 1];
  std::int32_t best_length;
  std::int32_t best_position;

  void ResetRing() {
    for (std::int32_t i = 0; i < kStart; ++i) ring[i] = 0x20;
    for (std::int32_t i = kStart; i < kRing + kMaxMatch - 1; ++i) ring[i] = 0;
  }
};

// ---------------------------------------------------------------- decoder

template <class Reader, class Writer>
bool Decode(State& s, Reader& in, Writer& out) {
  s.ResetRing();
  std::int32_t cur = kStart;
  unsigned flags = 0;
  for (;;) {
    flags >>= 1;
    if ((flags & 256u) == 0) {
      const int f = in.Get();
      if (f < 0) return true;
      flags = static_cast<unsigned>(f) | 0xFF00u;
    }
    if (flags & 1u) {
      const int c = in.Get();
      if (c < 0) return true;
      if (!out.Put(static_cast<std::uint8_t>(c))) return false;
      s.ring[cur] = static_cast<std::uint8_t>(c);
      cur = (cur + 1) & kMask;
    } else {
      const int a = in.Get();
      if (a < 0) return true;
      const int b = in.Get();
      if (b < 0) return true;
      const std::int32_t position = a | ((b & 0xF0) << 4);
      const std::int32_t length = (b & 0x0F) + kMinMatch;
      for (std::int32_t k = 0; k < length; ++k) {
        const std::uint8_t c = s.ring[(position + k) & kMask];
        if (!out.Put(c)) return false;
        s.ring[cur] = c;
        cur = (cur + 1) & kMask;
      }
    }
  }
}

// ------------------------------------------------------------- match tree

inline void ResetTrees(State& s) {
  for (std::int32_t i = kRoots; i <= kRoots + 255; ++i) s.right[i] = kNil;
  for (std::int32_t i = 0; i < kRing; ++i) s.parent[i] = kNil;
}

inline void InsertString(State& s, std::int32_t r) {
  int cmp = 1;
  std::int32_t p = kRoots + s.ring[r];
  s.left[r] = kNil;
  s.right[r] = kNil;
  s.best_length = 0;
  for (;;) {
    if (cmp >= 0) {
      if (s.right[p] == kNil) {
        s.right[p] = r;
        s.parent[r] = p;
        return;
      }
      p = s.right[p];
    } else {
      if (s.left[p] == kNil) {
        s.left[p] = r;
        s.parent[r] = p;
        return;
      }
      p = s.left[p];
    }
    std::int32_t i = 1;
    for (; i < kMaxMatch; ++i) {
      cmp = static_cast<int>(s.ring[r + i]) - static_cast<int>(s.ring[p + i]);
      if (cmp != 0) break;
    }
    if (i > s.best_length) {
      s.best_position = p;
      s.best_length = i;
      if (i >= kMaxMatch) break;
    }
  }
  s.parent[r] = s.parent[p];
  s.left[r] = s.left[p];
  s.right[r] = s.right[p];
  s.parent[s.left[p]] = r;
  s.parent[s.right[p]] = r;
  if (s.right[s.parent[p]] == p) {
    s.right[s.parent[p]] = r;
  } else {
    s.left[s.parent[p]] = r;
  }
  s.parent[p] = kNil;
}

inline void RemoveString(State& s, std::int32_t p) {
  if (s.parent[p] == kNil) return;
  std::int32_t q;
  if (s.right[p] == kNil) {
    q = s.left[p];
  } else if (s.left[p] == kNil) {
    q = s.right[p];
  } else {
    q = s.left[p];
    if (s.right[q] != kNil) {
      do {
        q = s.right[q];
      } while (s.right[q] != kNil);
      s.right[s.parent[q]] = s.left[q];
      s.parent[s.left[q]] = s.parent[q];
      s.left[q] = s.left[p];
      s.parent[s.left[p]] = q;
    }
    s.right[q] = s.right[p];
    s.parent[s.right[p]] = q;
  }
  s.parent[q] = s.parent[p];
  if (s.right[s.parent[p]] == p) {
    s.right[s.parent[p]] = q;
  } else {
    s.left[s.parent[p]] = q;
  }
  s.parent[p] = kNil;
}

// ---------------------------------------------------------------- encoder

template <class Reader, class Writer>
bool Encode(State& s, Reader& in, Writer& out) {
  std::uint8_t group[17];
  ResetTrees(s);
  group[0] = 0;
  std::int32_t group_len = 1;
  unsigned flag_mask = 1;
  std::int32_t oldest = 0;
  std::int32_t cur = kStart;
  s.ResetRing();

  std::int32_t lookahead = 0;
  for (; lookahead < kMaxMatch; ++lookahead) {
    const int c = in.Get();
    if (c < 0) break;
    s.ring[cur + lookahead] = static_cast<std::uint8_t>(c);
  }
  if (lookahead == 0) return true;
  for (std::int32_t i = 1; i <= kMaxMatch; ++i) InsertString(s, cur - i);
  InsertString(s, cur);

  do {
    if (s.best_length > lookahead) s.best_length = lookahead;
    if (s.best_length <= 2) {
      s.best_length = 1;
      group[0] = static_cast<std::uint8_t>(group[0] | flag_mask);
      group[group_len++] = s.ring[cur];
    } else {
      group[group_len++] = static_cast<std::uint8_t>(s.best_position & 0xFF);
      group[group_len++] =
          static_cast<std::uint8_t>(((s.best_position >> 4) & 0xF0) | (s.best_length - 3));
    }
    flag_mask = (flag_mask << 1) & 0xFFu;
    if (flag_mask == 0) {
      for (std::int32_t i = 0; i < group_len; ++i) {
        if (!out.Put(group[i])) return false;
      }
      group[0] = 0;
      group_len = 1;
      flag_mask = 1;
    }
    const std::int32_t last_length = s.best_length;
    std::int32_t i = 0;
    for (; i < last_length; ++i) {
      const int c = in.Get();
      if (c < 0) break;
      RemoveString(s, oldest);
      s.ring[oldest] = static_cast<std::uint8_t>(c);
      if (oldest < kMaxMatch - 1) s.ring[oldest + kRing] = static_cast<std::uint8_t>(c);
      oldest = (oldest + 1) & kMask;
      cur = (cur + 1) & kMask;
      InsertString(s, cur);
    }
    for (; i < last_length; ++i) {
      RemoveString(s, oldest);
      oldest = (oldest + 1) & kMask;
      cur = (cur + 1) & kMask;
      if (--lookahead > 0) InsertString(s, cur);
    }
  } while (lookahead > 0);

  if (group_len > 1) {
    for (std::int32_t i = 0; i < group_len; ++i) {
      if (!out.Put(group[i])) return false;
    }
  }
  return true;
}

// ------------------------------------------------- memory readers, writers

class VectorReader {
 public:
  VectorReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  int Get() { return pos_ < size_ ? data_[pos_++] : -1; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

class VectorWriter {
 public:
  explicit VectorWriter(std::vector<std::uint8_t>& out) : out_(out) {}
  bool Put(std::uint8_t b) {
    out_.push_back(b);
    return true;
  }

 private:
  std::vector<std::uint8_t>& out_;
};

// Whole-buffer conveniences. `s` is large (about 53 KiB); callers keep it on
// the heap.
inline std::vector<std::uint8_t> EncodeBuffer(State& s, const std::uint8_t* data,
                                              std::size_t size) {
  std::vector<std::uint8_t> out;
  VectorReader in(data, size);
  VectorWriter w(out);
  Encode(s, in, w);
  return out;
}

inline std::vector<std::uint8_t> DecodeBuffer(State& s, const std::uint8_t* data,
                                              std::size_t size) {
  std::vector<std::uint8_t> out;
  VectorReader in(data, size);
  VectorWriter w(out);
  Decode(s, in, w);
  return out;
}

// ------------------------------------------------------- smallest stream

// The size in bytes of the smallest stream that expands to `data`, as a
// check of the optimal parse. A unit costs its flag bit and its bytes (9
// bits a literal, 17 a reference), and b bytes of units with u flag bits
// take ceil((8b + u) / 8) bytes. The longest match at every position is
// found by trying every distance the decoder resolves: 1 to 4096 back,
// counting the kStart spaces before the source but not the ring positions
// after them, which hold no spaces. Any 3..18-byte prefix of a match is a
// match too, so the cheapest coding of each suffix follows from those of
// the shorter ones.
inline std::size_t SmallestStreamSize(const std::vector<std::uint8_t>& data) {
  // The spaces, then the source, byte by byte: plainer than an insert,
  // which some compilers' bounds warnings misread here.
  std::vector<std::uint8_t> held(kStart + data.size(), 0x20);
  for (std::size_t i = 0; i < data.size(); ++i) held[kStart + i] = data[i];
  const std::size_t n = data.size();
  std::vector<std::size_t> bits(n + 1, 0);
  for (std::size_t i = n; i-- > 0;) {
    const std::size_t at = kStart + i;
    const std::size_t most = std::min<std::size_t>(kMaxMatch, n - i);
    std::size_t longest = 0;
    for (std::size_t back = 1; back <= kRing && back <= at && longest < most; ++back) {
      std::size_t length = 0;
      while (length < most && held[at - back + length] == held[at + length]) ++length;
      longest = std::max(longest, length);
    }
    bits[i] = bits[i + 1] + 9;
    for (std::size_t length = kMinMatch; length <= longest; ++length) {
      bits[i] = std::min(bits[i], bits[i + length] + 17);
    }
  }
  return (bits[0] + 7) / 8;
}

}  // namespace lzring::reference

#endif  // LZRING_TESTS_REFERENCE_CODEC_H
