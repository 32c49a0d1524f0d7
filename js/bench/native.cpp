// The native side of the JavaScript bench: the C++ API on one thread, in
// memory, over the files named. For each file prints one line:
//   name size compressed compress_seconds expand_seconds
// with processor time per pass, the best of passes that add up to at least
// `min_seconds` (first argument). Every expansion is checked.
#include <time.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "lzring/lzring.hpp"

namespace {

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Best processor time of one call of `pass`, over at least `min_seconds`.
template <class Pass>
double Best(double min_seconds, Pass&& pass) {
  double best = 1e30;
  double spent = 0;
  do {
    const double start = CpuSeconds();
    pass();
    const double t = CpuSeconds() - start;
    best = t < best ? t : best;
    spent += t;
  } while (spent < min_seconds);
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s MIN_SECONDS FILE...\n", argv[0]);
    return 2;
  }
  const double min_seconds = std::stod(argv[1]);
  lzring::codec codec(1);
  for (int i = 2; i < argc; ++i) {
    std::ifstream file(argv[i], std::ios::binary);
    const std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(file), {}};
    std::vector<std::uint8_t> packed(lzring::encode_bound(data.size()));
    std::vector<std::uint8_t> plain(data.size());
    std::size_t n = 0;
    const double c = Best(min_seconds, [&] { n = codec.compress_into(data, packed); });
    packed.resize(n);
    const double d = Best(min_seconds, [&] { codec.expand_into(packed, plain); });
    if (plain != data) {
      std::fprintf(stderr, "%s: expansion differs\n", argv[i]);
      return 1;
    }
    std::printf("%s %zu %zu %.9f %.9f\n", argv[i], data.size(), n, c, d);
  }
  return 0;
}
