// The program's entry on POSIX systems: the arguments are already the bytes
// that name the files.
#include "cli/main.h"

int main(int argc, char** argv) {
  return lzring::cli::Main(argc, argv);
}
