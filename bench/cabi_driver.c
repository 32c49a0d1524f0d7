/* Calls one C entry point on two paths and exits with its status:
 *   lzring_cabi_driver e|d SOURCE DESTINATION
 * Small on purpose, so that measuring its peak memory (for instance with
 * /usr/bin/time -v) measures the library call and little else. */
#include <stdio.h>
#include <string.h>

#include "lzring.h"

int main(int argc, char** argv) {
  if (argc != 4 || (strcmp(argv[1], "e") != 0 && strcmp(argv[1], "d") != 0)) {
    fprintf(stderr, "usage: %s e|d SOURCE DESTINATION\n", argv[0]);
    return 2;
  }
  const int32_t status = argv[1][0] == 'e' ? _Encode(argv[2], argv[3]) : _Decode(argv[2], argv[3]);
  return status == 0 ? 0 : 1;
}
