/* A C host linked against the import library rather than loading the DLL by
 * hand: it checks that the header's declarations, the import library and the
 * DLL's export names agree. Usage: import_host FILE (an existing file, which is
 * compressed to FILE.lz and expanded to FILE.out next to it). Prints a closing
 * "N passed, N failed" line. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lzring.h"

static int passed = 0;
static int failed = 0;

static void check(int ok, const char* what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    printf("FAIL: %s\n", what);
  }
}

/* True when the two files hold the same bytes. */
static int same_bytes(const char* a, const char* b) {
  FILE* fa = fopen(a, "rb");
  FILE* fb = fopen(b, "rb");
  int same = fa != NULL && fb != NULL;
  while (same) {
    const int ca = getc(fa);
    const int cb = getc(fb);
    if (ca != cb) same = 0;
    if (ca == EOF) break;
  }
  if (fa != NULL) fclose(fa);
  if (fb != NULL) fclose(fb);
  return same;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    printf("usage: %s FILE\n", argv[0]);
    return 2;
  }
  const size_t n = strlen(argv[1]);
  char* packed = malloc(n + 5);
  char* unpacked = malloc(n + 5);
  if (packed == NULL || unpacked == NULL) return 2;
  memcpy(packed, argv[1], n);
  memcpy(packed + n, ".lz", 4);
  memcpy(unpacked, argv[1], n);
  memcpy(unpacked + n, ".out", 5);

  check(_GetFileSize(argv[1]) >= 0, "_GetFileSize of the input");
  check(_Encode(argv[1], packed) == 0, "_Encode");
  check(_Decode(packed, unpacked) == 0, "_Decode");
  check(same_bytes(argv[1], unpacked), "round trip restores the input");
  check(_GetFileSize(NULL) == -1, "_GetFileSize(NULL)");
  remove(packed);
  remove(unpacked);
  free(packed);
  free(unpacked);
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
