// The installed C++ API gives the same bytes as the installed C library.
#include <lzring.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <lzring/lzring.hpp>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string dir = argv[1];
  const std::string text = "the C++ side of the package, the C++ side of the package\n";
  const std::vector<std::uint8_t> plain(text.begin(), text.end());
  { std::ofstream(dir + "/cpp_plain.txt", std::ios::binary) << text; }
  if (_Encode((dir + "/cpp_plain.txt").c_str(), (dir + "/cpp_plain.lzr").c_str()) != 0) return 1;
  std::ifstream in(dir + "/cpp_plain.lzr", std::ios::binary);
  const std::vector<std::uint8_t> from_c((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());

  lzring::codec codec;
  const std::vector<std::uint8_t> packed = codec.compress(plain);
  if (packed != from_c || codec.expand(packed) != plain) return 1;
  if (codec.expanded_size(packed) != plain.size()) return 1;
  std::printf("C++ API %s matches the C library: %zu -> %zu bytes\n", lzring::version(),
              plain.size(), packed.size());
  return 0;
}
