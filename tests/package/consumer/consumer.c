/* Round trip of a small file through the installed C library. */
#include <lzring.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  char plain[512], packed[512], back[512];
  snprintf(plain, sizeof plain, "%s/plain.txt", argv[1]);
  snprintf(packed, sizeof packed, "%s/plain.txt.lzr", argv[1]);
  snprintf(back, sizeof back, "%s/back.txt", argv[1]);

  static const char text[] = "a consumer of the installed library, a consumer of the library\n";
  FILE* f = fopen(plain, "wb");
  if (f == NULL || fwrite(text, 1, sizeof text - 1, f) != sizeof text - 1 || fclose(f) != 0)
    return 1;
  if (_Encode(plain, packed) != 0 || _Decode(packed, back) != 0) return 1;

  char got[sizeof text];
  f = fopen(back, "rb");
  if (f == NULL) return 1;
  const size_t n = fread(got, 1, sizeof got, f);
  fclose(f);
  if (n != sizeof text - 1 || memcmp(got, text, n) != 0) return 1;
  if (_GetFileSize(plain) != (int32_t)(sizeof text - 1)) return 1;
  printf("C round trip ok, %d bytes compressed\n", (int)_GetFileSize(packed));
  return 0;
}
