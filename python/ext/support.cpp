// Error conversion, argument converters, the per-thread codec and the
// object lock.
#include "python/ext/support.h"

#include <cerrno>
#include <climits>
#include <memory>
#include <new>
#include <system_error>

namespace lzring::python {

void SetOsError(const std::error_code& ec, PyObject* filename) {
  // The errno constructor picks the subclass (FileNotFoundError, ...).
  errno = ec.value();
  if (filename != nullptr) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
  } else {
    PyErr_SetFromErrno(PyExc_OSError);
  }
}

void SetErrorFrom(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::system_error& e) {
    if (e.code().category() == std::generic_category() ||
        e.code().category() == std::system_category()) {
      SetOsError(e.code());
    } else {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    }
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "lzring: unknown C++ exception");
  }
}

namespace {

// An int >= 0 from `object`, which must have __index__ (so not a float or
// a str); false with an exception set otherwise.
bool NonNegative(PyObject* object, const char* what, std::uint64_t& value) {
  PyObject* index = PyNumber_Index(object);
  if (index == nullptr) return false;
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(index, &overflow);
  bool ok = !PyErr_Occurred();
  if (ok && overflow > 0) {  // beyond LLONG_MAX: still an unsigned 64-bit value?
    value = PyLong_AsUnsignedLongLong(index);
    if (PyErr_Occurred()) {
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "%s is too large", what);
      ok = false;
    }
  } else if (ok && (overflow < 0 || small < 0)) {
    PyErr_Format(PyExc_ValueError, "%s must not be negative", what);
    ok = false;
  } else if (ok) {
    value = static_cast<std::uint64_t>(small);
  }
  Py_DECREF(index);
  return ok;
}

}  // namespace

int ThreadsArg(PyObject* object, void* out) {
  std::uint64_t value = 0;
  if (!NonNegative(object, "threads", value)) return 0;
  *static_cast<unsigned*>(out) = value > UINT_MAX ? UINT_MAX : static_cast<unsigned>(value);
  return 1;
}

int SizeArg(PyObject* object, void* out) {
  std::uint64_t value = kNoSize;
  if (object != Py_None && !NonNegative(object, "size", value)) return 0;
  if (value == kNoSize && object != Py_None) {
    PyErr_SetString(PyExc_ValueError, "size is too large");
    return 0;
  }
  *static_cast<std::uint64_t*>(out) = value;
  return 1;
}

lzring::codec& ThreadCodec() {
  thread_local std::unique_ptr<lzring::codec> codec;
  if (!codec) codec = std::make_unique<lzring::codec>();
  return *codec;
}

bool ObjectLock::Init() {
  lock_ = PyThread_allocate_lock();
  if (lock_ == nullptr) {
    PyErr_SetString(PyExc_MemoryError, "unable to allocate lock");
    return false;
  }
  return true;
}

ObjectLock::~ObjectLock() {
  if (lock_ != nullptr) PyThread_free_lock(lock_);
}

void ObjectLock::lock() {
  if (PyThread_acquire_lock(lock_, NOWAIT_LOCK)) return;
  // Another thread is inside a call on this object, with the GIL released:
  // wait for it without holding the GIL.
  PyThreadState* const saved = PyEval_SaveThread();
  PyThread_acquire_lock(lock_, WAIT_LOCK);
  PyEval_RestoreThread(saved);
}

}  // namespace lzring::python
