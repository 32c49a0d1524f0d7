// lzring.compress_file and lzring.decompress_file: path to path through the
// C++ API's file functions, with the GIL released for the whole call.
#include <cstdint>
#include <filesystem>

#include "python/ext/support.h"

namespace lzring::python {
namespace {

// A path argument as the file system spells it (str, bytes or os.PathLike).
class PathArg {
 public:
  ~PathArg() { Py_XDECREF(encoded_); }
  bool Convert(PyObject* given) {
    given_ = given;
    return PyUnicode_FSConverter(given, &encoded_) != 0;
  }
  std::filesystem::path path() const { return std::filesystem::path(PyBytes_AS_STRING(encoded_)); }
  PyObject* given() const { return given_; }

 private:
  PyObject* given_ = nullptr;
  PyObject* encoded_ = nullptr;
};

// Runs a file function of the codec from `args`: (src, dst, *, threads=1,
// best=False) when `compressing`, (src, dst) otherwise.
PyObject* RunOnFiles(PyObject* args, PyObject* kwargs, bool compressing) {
  static const char* compress_keywords[] = {"src", "dst", "threads", "best", nullptr};
  static const char* expand_keywords[] = {"src", "dst", nullptr};
  PyObject* src = nullptr;
  PyObject* dst = nullptr;
  unsigned threads = 1;
  int best = 0;
  const bool parsed =
      compressing ? PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$O&p:compress_file",
                                                const_cast<char**>(compress_keywords), &src, &dst,
                                                ThreadsArg, &threads, &best)
                  : PyArg_ParseTupleAndKeywords(args, kwargs, "OO:decompress_file",
                                                const_cast<char**>(expand_keywords), &src, &dst);
  if (!parsed) return nullptr;
  PathArg from;
  PathArg to;
  if (!from.Convert(src) || !to.Convert(dst)) return nullptr;
  lzring::stream_result result;
  const bool ok = RunCodec(true, [&]() {
    lzring::codec& codec = ThreadCodec();
    codec.set_threads(threads);
    codec.set_best(best != 0);
    result = compressing ? codec.compress_file(from.path(), to.path())
                         : codec.expand_file(from.path(), to.path());
  });
  if (!ok) return nullptr;
  if (result.read_error) {
    SetOsError(result.read_error, from.given());
    return nullptr;
  }
  if (result.write_error) {
    SetOsError(result.write_error, to.given());
    return nullptr;
  }
  return PyLong_FromUnsignedLongLong(result.bytes_out);
}

}  // namespace

extern const char kCompressFileDoc[] =
    "compress_file(src, dst, *, threads=1, best=False)\n--\n\n"
    "Compress the file src into dst (created or truncated) and return the\n"
    "number of bytes written: the bytes of compress() of its contents, on any\n"
    "number of threads. Paths are str, bytes or os.PathLike. Raises\n"
    "OSError with errno and filename: src cannot be read or is a directory,\n"
    "dst cannot be written, or dst is src itself (EINVAL, nothing touched).\n"
    "A failed write can leave a partial dst. The GIL is released meanwhile.";

PyObject* CompressFile(PyObject*, PyObject* args, PyObject* kwargs) {
  return RunOnFiles(args, kwargs, true);
}

extern const char kDecompressFileDoc[] =
    "decompress_file(src, dst)\n--\n\n"
    "Expand the compressed file src into dst and return the number of bytes\n"
    "written. Errors as for compress_file().";

PyObject* DecompressFile(PyObject*, PyObject* args, PyObject* kwargs) {
  return RunOnFiles(args, kwargs, false);
}

}  // namespace lzring::python
