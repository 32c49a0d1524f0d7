// lzring._native_time: one call of the C++ API timed from inside the
// extension, for the benchmark that compares the module's cost with the
// C++ API's on the same data in the same process. Not part of the API.
#include <time.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "python/ext/support.h"

namespace lzring::python {
namespace {

double Seconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

}  // namespace

extern const char kNativeTimeDoc[] =
    "_native_time(kind, data, /, threads=1)\n--\n\n"
    "Run lzring::codec::compress (kind 'compress') or expand ('decompress')\n"
    "of the C++ API once on data, or expand_into a new buffer of the size\n"
    "expanded_size tells beforehand ('decompress_into'), and return (thread\n"
    "CPU seconds, wall seconds, output size). For the benchmark only.";

PyObject* NativeTime(PyObject*, PyObject* args) {
  const char* kind = nullptr;
  Buffer in;
  unsigned threads = 1;
  if (!PyArg_ParseTuple(args, "sy*|O&:_native_time", &kind, in.get(), ThreadsArg, &threads)) {
    return nullptr;
  }
  const bool compressing = std::strcmp(kind, "compress") == 0;
  const bool into = std::strcmp(kind, "decompress_into") == 0;
  if (!compressing && !into && std::strcmp(kind, "decompress") != 0) {
    PyErr_SetString(PyExc_ValueError, "kind must be 'compress', 'decompress' or 'decompress_into'");
    return nullptr;
  }
  double cpu = 0;
  double wall = 0;
  std::size_t size = 0;
  const bool ok = RunCodec(true, [&]() {
    lzring::codec& codec = ThreadCodec();
    codec.set_threads(threads);
    const std::size_t known = into ? codec.expanded_size(in.bytes()) : 0;
    const double cpu0 = Seconds(CLOCK_THREAD_CPUTIME_ID);
    const double wall0 = Seconds(CLOCK_MONOTONIC);
    std::vector<std::uint8_t> out;
    std::unique_ptr<std::uint8_t[]> buffer;
    if (into) {
      buffer.reset(new std::uint8_t[known]);  // uninitialised, as a bytes object is
      size = codec.expand_into(in.bytes(), {buffer.get(), known});
    } else {
      out = compressing ? codec.compress(in.bytes()) : codec.expand(in.bytes());
      size = out.size();
    }
    wall = Seconds(CLOCK_MONOTONIC) - wall0;
    cpu = Seconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
  });
  if (!ok) return nullptr;
  return Py_BuildValue("(ddn)", cpu, wall, static_cast<Py_ssize_t>(size));
}

}  // namespace lzring::python
