// lzring.compress, lzring.decompress and lzring.expanded_size: whole inputs
// in memory, coded straight into the bytes object that is returned.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <system_error>
#include <vector>

#include "python/ext/support.h"

namespace lzring::python {
namespace {

// Output of an expansion whose size is not known: into the bytes object
// made for it while its room lasts, then into a vector that grows. Most
// streams fit the first guess, and then no byte is copied twice.
class ExpansionOutput {
 public:
  ExpansionOutput(std::uint8_t* first, std::size_t capacity) : first_(first), capacity_(capacity) {}

  bool Put(std::span<const std::uint8_t> bytes) {
    const std::size_t room = capacity_ - used_;
    const std::size_t here = std::min(room, bytes.size());
    if (here > 0) std::memcpy(first_ + used_, bytes.data(), here);
    used_ += here;
    rest_.insert(rest_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(here), bytes.end());
    return true;
  }

  std::size_t used() const { return used_; }
  const std::vector<std::uint8_t>& rest() const { return rest_; }

 private:
  std::uint8_t* first_;
  std::size_t capacity_;
  std::size_t used_ = 0;
  std::vector<std::uint8_t> rest_;
};

std::uint8_t* Bytes(PyObject* bytes) {
  return reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes));
}

// First guess at the expanded size of `n` compressed bytes: four times (most
// data expands to two or three), never more than the largest possible.
std::size_t FirstGuess(std::size_t n) {
  const std::uint64_t most = lzring::expand_bound(n);
  const std::uint64_t guess = 4 * static_cast<std::uint64_t>(n) + 4096;
  return static_cast<std::size_t>(std::min(most, guess));
}

// Expands all of `in`, whose size is not known.
PyObject* ExpandAll(Buffer& in) {
  PyObject* out =
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(FirstGuess(in.size())));
  if (out == nullptr) return nullptr;
  ExpansionOutput output(Bytes(out), static_cast<std::size_t>(PyBytes_GET_SIZE(out)));
  const bool ok = RunCodec(in.size() >= kReleaseGilBytes, [&]() {
    lzring::decoder expander([&output](std::span<const std::uint8_t> b) { return output.Put(b); });
    expander.write(in.bytes());
    expander.finish();
  });
  if (!ok) {
    Py_DECREF(out);
    return nullptr;
  }
  const std::size_t total = output.used() + output.rest().size();
  if (total > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
    Py_DECREF(out);
    return PyErr_NoMemory();
  }
  if (_PyBytes_Resize(&out, static_cast<Py_ssize_t>(total)) < 0) return nullptr;
  if (!output.rest().empty()) {
    std::uint8_t* const to = Bytes(out) + output.used();
    RunCodec(output.rest().size() >= static_cast<std::size_t>(kReleaseGilBytes),
             [&]() { std::memcpy(to, output.rest().data(), output.rest().size()); });
  }
  return out;
}

// Expands the first `size` bytes of the stream at the start of `in`.
PyObject* ExpandSize(Buffer& in, std::uint64_t size) {
  // No stream of in.size() bytes gives more than this; a larger size ends
  // early whatever the bytes are.
  const std::uint64_t room =
      std::min(size, lzring::expand_bound(static_cast<std::uint64_t>(in.size())));
  if (room > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(room));
  if (out == nullptr) return nullptr;
  lzring::bounded_result result;
  const bool ok = RunCodec(in.size() >= kReleaseGilBytes, [&]() {
    result = ThreadCodec().expand_bounded(in.bytes(), {Bytes(out), static_cast<std::size_t>(room)});
  });
  if (!ok) {
    Py_DECREF(out);
    return nullptr;
  }
  if (result.bytes_out != size) {
    Py_DECREF(out);
    PyErr_Format(PyExc_EOFError, "compressed data ends after %llu of %llu bytes",
                 static_cast<unsigned long long>(result.bytes_out),
                 static_cast<unsigned long long>(size));
    return nullptr;
  }
  return out;
}

}  // namespace

extern const char kCompressDoc[] =
    "compress(data, *, threads=1, best=False)\n--\n\n"
    "Return the compressed form of data, any object with the buffer protocol.\n\n"
    "The bytes are exactly those of the library's file compressor (and of\n"
    "lzring.open() and compress_file()) for the same source.\n"
    "threads: 1 compresses on the calling thread, 0 on one thread per\n"
    "processor, N on up to N threads; the output is the same for every count.\n"
    "best: write the smallest stream instead, for a fixed decoder to read:\n"
    "every decoder expands it, but it is not _Encode's bytes (on up to two of\n"
    "the threads, the same bytes on any count; a few percent smaller, about a\n"
    "third slower on text).\n"
    "The GIL is released while compressing.";

PyObject* Compress(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", "threads", "best", nullptr};
  Buffer in;
  unsigned threads = 1;
  int best = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*|$O&p:compress", const_cast<char**>(keywords),
                                   in.get(), ThreadsArg, &threads, &best)) {
    return nullptr;
  }
  const std::uint64_t bound = lzring::compress_bound(static_cast<std::uint64_t>(in.size()));
  if (bound > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bound));
  if (out == nullptr) return nullptr;
  std::size_t n = 0;
  std::error_code ec;
  const bool ok = RunCodec(in.size() >= kReleaseGilBytes, [&]() {
    lzring::codec& codec = ThreadCodec();
    codec.set_threads(threads);
    codec.set_best(best != 0);
    n = codec.compress_into(in.bytes(), {Bytes(out), static_cast<std::size_t>(bound)}, ec);
  });
  if (!ok || ec) {
    Py_DECREF(out);
    if (ok) SetOsError(ec);  // no memory for the threads' pieces
    return nullptr;
  }
  if (_PyBytes_Resize(&out, static_cast<Py_ssize_t>(n)) < 0) return nullptr;
  return out;
}

extern const char kDecompressDoc[] =
    "decompress(data, *, size=None)\n--\n\n"
    "Return the expansion of the compressed stream data.\n\n"
    "Every byte sequence is a valid stream; it ends where data ends. With\n"
    "size, expansion stops after that many bytes, whatever follows them in\n"
    "data (a stream stored inside another file), and a stream that ends\n"
    "sooner raises EOFError. The GIL is released while expanding.";

PyObject* Decompress(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", "size", nullptr};
  Buffer in;
  std::uint64_t size = kNoSize;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*|$O&:decompress", const_cast<char**>(keywords),
                                   in.get(), SizeArg, &size)) {
    return nullptr;
  }
  return size == kNoSize ? ExpandAll(in) : ExpandSize(in, size);
}

extern const char kExpandedSizeDoc[] =
    "expanded_size(data, /)\n--\n\n"
    "Return the number of bytes decompress(data) would produce, without\n"
    "keeping them.";

PyObject* ExpandedSize(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"", nullptr};
  Buffer in;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*:expanded_size", const_cast<char**>(keywords),
                                   in.get())) {
    return nullptr;
  }
  std::uint64_t size = 0;
  if (!RunCodec(in.size() >= kReleaseGilBytes,
                [&]() { size = ThreadCodec().expanded_size(in.bytes()); })) {
    return nullptr;
  }
  return PyLong_FromUnsignedLongLong(size);
}

extern const char kBoundsDoc[] =
    "_bounds(n, /)\n--\n\n"
    "Return (compress_bound(n), expand_bound(n)) of the C++ API: the largest\n"
    "compressed size of n bytes and the largest expanded size of n compressed\n"
    "bytes, which size the buffers here. For the tests only.";

PyObject* Bounds(PyObject*, PyObject* arg) {
  const unsigned long long n = PyLong_AsUnsignedLongLong(arg);
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(lzring::compress_bound(n)),
                       static_cast<unsigned long long>(lzring::expand_bound(n)));
}

}  // namespace lzring::python
