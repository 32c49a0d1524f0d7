/* lzring: file compression with LZSS over a 4096-byte ring.
 *
 * The library exports exactly three functions with C linkage. Each takes
 * NUL-terminated paths, works on whole files and returns when done.
 *
 * _Encode and _Decode are serialised inside the library: a call made while
 * another is running (from another thread) waits for it, so one slow call
 * holds up the others; a FIFO or a device as a source or destination waits
 * for its other end, or for data, and every other _Encode or _Decode waits
 * with it. _GetFileSize never waits for them. The C functions allocate no
 * memory and keep no state between calls that could change their results:
 * the same source always gives the same destination bytes.
 */
#ifndef LZRING_H
#define LZRING_H

/* The library's version. The build reads it from here, so this is the one
 * place it is written. */
#define LZRING_VERSION_MAJOR 1
#define LZRING_VERSION_MINOR 0
#define LZRING_VERSION_PATCH 0
#define LZRING_VERSION_STRING "1.0.0"

#include <stdint.h>

#if defined(_WIN32)
#if defined(LZRING_BUILDING)
#define LZRING_API __declspec(dllexport)
#else
#define LZRING_API __declspec(dllimport)
#endif
#define LZRING_CALL __cdecl
#else
#define LZRING_API __attribute__((visibility("default")))
#define LZRING_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Compresses the file `source_path` into `destination_path` (created, or
 * truncated if it exists). Returns 0 on success and -1 on any failure: the
 * source cannot be opened or read, the destination cannot be created or
 * written, either path is NULL, or both name the same file. A failed call
 * may leave a partial destination; a source that cannot be opened leaves an
 * existing destination untouched, and the source is never modified. */
LZRING_API int32_t LZRING_CALL _Encode(const char* source_path, const char* destination_path);

/* Expands the compressed file `source_path` into `destination_path`. Every
 * byte sequence is accepted as compressed input (a truncated final unit
 * produces nothing). Returns 0 on success and -1 on the same failures as
 * _Encode. */
LZRING_API int32_t LZRING_CALL _Decode(const char* source_path, const char* destination_path);

/* Returns the size in bytes of the file at `path`, or -1 when it cannot be
 * opened (missing, a directory, NULL path), is not a regular file (a FIFO, a
 * device, a socket: refused at once, without waiting for it) or is 2 GiB or
 * larger. */
LZRING_API int32_t LZRING_CALL _GetFileSize(const char* path);

#ifdef __cplusplus
}
#endif

#endif /* LZRING_H */
