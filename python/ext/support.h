// What every part of the Python module needs: input buffers held for the
// length of a call, work done with the GIL released and C++ exceptions
// turned into Python ones, argument converters, a lock per object, and the
// codec of the calling thread.
#ifndef LZRING_PYTHON_SUPPORT_H
#define LZRING_PYTHON_SUPPORT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pythread.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <system_error>
#include <utility>

#include "lzring/lzring.hpp"

namespace lzring::python {

// Calls that may code less than this many bytes run with the GIL held:
// releasing and taking it back would cost more than the work. A call's work
// is that of the input it is given and of the input its object kept from
// earlier calls, which a small piece (or none) may set going.
inline constexpr Py_ssize_t kReleaseGilBytes = 8192;

// A Py_buffer taken with the "y*" format: released when the call ends. While
// it is held the object cannot be resized or freed, so the codec may read it
// with the GIL released. Bytes another thread changes meanwhile give some
// output, never a read outside the buffer: the codec checks every length
// against the input's end.
class Buffer {
 public:
  Buffer() { view_.obj = nullptr; }
  ~Buffer() {
    if (view_.obj != nullptr) PyBuffer_Release(&view_);
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  Py_buffer* get() { return &view_; }
  std::span<const std::uint8_t> bytes() const {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }
  Py_ssize_t size() const { return view_.len; }

 private:
  Py_buffer view_;
};

// Sets the Python exception that stands for a caught C++ one: MemoryError
// for std::bad_alloc, OSError with the errno value for std::system_error.
void SetErrorFrom(std::exception_ptr error);
// Raises OSError for `ec`, naming `filename` when it is not null.
void SetOsError(const std::error_code& ec, PyObject* filename = nullptr);

// Runs `work` with the GIL released when `release` is true, with it held
// otherwise. Returns false with a Python exception set when `work` threw.
template <class Work>
bool RunCodec(bool release, Work&& work) {
  std::exception_ptr error;
  auto run = [&]() {
    try {
      work();
    } catch (...) {
      error = std::current_exception();
    }
  };
  if (release) {
    PyThreadState* const saved = PyEval_SaveThread();
    run();
    PyEval_RestoreThread(saved);
  } else {
    run();
  }
  if (error) {
    SetErrorFrom(error);
    return false;
  }
  return true;
}

// Converters for PyArg_Parse ("O&"). `threads`: an int >= 0 into unsigned
// (0: one per processor; counts beyond what the codec uses are capped).
// `size`: None, or an int >= 0, into std::uint64_t (kNoSize for None).
inline constexpr std::uint64_t kNoSize = lzring::decoder::no_limit;
int ThreadsArg(PyObject* object, void* out);
int SizeArg(PyObject* object, void* out);

// The codec of the calling thread, made on first use and kept until the
// thread ends: one-shot calls need no allocation of its 230 KiB each time.
// Call without the GIL; throws std::bad_alloc.
lzring::codec& ThreadCodec();

// The lock of a Compressor or Decompressor: one call at a time per object,
// as the C++ objects require, held for a call with std::lock_guard. A
// thread that has to wait for it lets the others run meanwhile.
class ObjectLock {
 public:
  // False, with MemoryError set, when the lock could not be made.
  bool Init();
  ~ObjectLock();

  // BasicLockable, for std::lock_guard.
  void lock();
  void unlock() { PyThread_release_lock(lock_); }

 private:
  PyThread_type_lock lock_ = nullptr;
};

// A new bytes object holding `bytes`.
inline PyObject* BytesOf(std::span<const std::uint8_t> bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

// The module's types and functions, defined in the files named after them.
extern PyType_Spec CompressorSpec;
extern PyType_Spec DecompressorSpec;

PyObject* Compress(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* Decompress(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* ExpandedSize(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* CompressFile(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* DecompressFile(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* NativeTime(PyObject* module, PyObject* args);
PyObject* Bounds(PyObject* module, PyObject* n);

extern const char kCompressDoc[];
extern const char kDecompressDoc[];
extern const char kExpandedSizeDoc[];
extern const char kCompressFileDoc[];
extern const char kDecompressFileDoc[];
extern const char kNativeTimeDoc[];
extern const char kBoundsDoc[];

}  // namespace lzring::python

#endif  // LZRING_PYTHON_SUPPORT_H
