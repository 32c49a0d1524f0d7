// lzring.Compressor: a source compressed piece by piece, over
// lzring::encoder with its output collected in the object.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>

#include "python/ext/support.h"

namespace lzring::python {
namespace {

struct Compressor {
  PyObject ob_base;
  lzring::encoder* encoder;  // null until __init__ succeeded
  ObjectLock lock;
  bool flushed;
};

// Takes the encoder's pending output as a bytes object.
PyObject* TakeOutput(lzring::encoder& encoder) {
  PyObject* out = BytesOf(encoder.output());
  if (out != nullptr) encoder.consume(encoder.output().size());
  return out;
}

PyObject* CompressorNew(PyTypeObject* type, PyObject*, PyObject*) {
  auto* self = reinterpret_cast<Compressor*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  new (&self->lock) ObjectLock();
  self->encoder = nullptr;
  self->flushed = false;
  if (!self->lock.Init()) {
    Py_DECREF(self);
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(self);
}

int CompressorInit(PyObject* object, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"threads", "best", nullptr};
  auto* self = reinterpret_cast<Compressor*>(object);
  unsigned threads = 1;
  int best = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O&p:Compressor", const_cast<char**>(keywords),
                                   ThreadsArg, &threads, &best)) {
    return -1;
  }
  lzring::encoder* made = nullptr;
  if (!RunCodec(false, [&]() { made = new lzring::encoder({}, threads, best != 0); })) return -1;
  const std::lock_guard<ObjectLock> held(self->lock);
  delete self->encoder;
  self->encoder = made;
  self->flushed = false;
  return 0;
}

void CompressorDealloc(PyObject* object) {
  auto* self = reinterpret_cast<Compressor*>(object);
  delete self->encoder;
  self->lock.~ObjectLock();
  PyTypeObject* type = Py_TYPE(object);
  type->tp_free(object);
  Py_DECREF(type);
}

// The encoder of `self`, or null with an exception set when the object
// cannot take more input.
lzring::encoder* Usable(Compressor* self) {
  if (self->encoder == nullptr) {
    PyErr_SetString(PyExc_ValueError, "Compressor was not initialised");
  } else if (self->flushed) {
    PyErr_SetString(PyExc_ValueError, "Compressor has been flushed");
  } else if (self->encoder->failed()) {
    PyErr_SetString(PyExc_ValueError, "Compressor failed earlier");
  } else {
    return self->encoder;
  }
  return nullptr;
}

const char kCompressMethodDoc[] =
    "compress($self, data, /)\n--\n\n"
    "Take the next piece of the source, any object with the buffer protocol,\n"
    "and return the compressed bytes it completes, often none: the output\n"
    "lags the input by up to one piece of the source (the encoder's thread\n"
    "policy sets its size) until flush(), since the format cannot end a\n"
    "group early.";

PyObject* CompressorCompress(PyObject* object, PyObject* args) {
  auto* self = reinterpret_cast<Compressor*>(object);
  Buffer in;
  if (!PyArg_ParseTuple(args, "y*:compress", in.get())) return nullptr;
  const std::lock_guard<ObjectLock> held(self->lock);
  lzring::encoder* encoder = Usable(self);
  if (encoder == nullptr) return nullptr;
  // The work of a call is that of the input it is given and of the input
  // the encoder kept from earlier calls, which a small piece may complete
  // into a run to code; the encoder keeps at most all it was given.
  const std::uint64_t work = encoder->bytes_in() + static_cast<std::uint64_t>(in.size());
  const bool release = work >= static_cast<std::uint64_t>(kReleaseGilBytes);
  if (!RunCodec(release, [&]() { encoder->write(in.bytes()); })) {
    return nullptr;
  }
  return TakeOutput(*encoder);
}

const char kFlushDoc[] =
    "flush($self, /)\n--\n\n"
    "End the source and return the rest of the compressed stream. The\n"
    "compressor takes no input after this.";

PyObject* CompressorFlush(PyObject* object, PyObject*) {
  auto* self = reinterpret_cast<Compressor*>(object);
  const std::lock_guard<ObjectLock> held(self->lock);
  lzring::encoder* encoder = Usable(self);
  if (encoder == nullptr) return nullptr;
  self->flushed = true;
  if (!RunCodec(true, [&]() { encoder->finish(); })) return nullptr;
  return TakeOutput(*encoder);
}

// Named in the methods, __init__ shows its own signature in help() in
// place of the slot's generic one; Compressor(...) still runs the slot.
PyObject* CompressorInitMethod(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (CompressorInit(self, args, kwargs) < 0) return nullptr;
  Py_RETURN_NONE;
}

const char kInitDoc[] =
    "__init__($self, /, threads=1, best=False)\n--\n\n"
    "Start a stream; threads and best as in lzring.compress().";

PyMethodDef kMethods[] = {
    {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(CompressorInitMethod)),
     METH_VARARGS | METH_KEYWORDS | METH_COEXIST, kInitDoc},
    {"compress", CompressorCompress, METH_VARARGS, kCompressMethodDoc},
    {"flush", CompressorFlush, METH_NOARGS, kFlushDoc},
    {nullptr, nullptr, 0, nullptr},
};

const char kDoc[] =
    "Compressor(threads=1, best=False)\n--\n\n"
    "Compress a source given in pieces, as zlib's compressobj() and\n"
    "lzma.LZMACompressor do: compress() each piece and append what it\n"
    "returns, then append flush(). The result is exactly compress() of the\n"
    "pieces joined, for every number of threads (see compress()).\n"
    "One call at a time runs on an object; others wait for it.";

// A heap type: its dealloc releases the reference each object holds.
PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(CompressorDealloc)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_methods, kMethods},
    {Py_tp_init, reinterpret_cast<void*>(CompressorInit)},
    {Py_tp_new, reinterpret_cast<void*>(CompressorNew)},
    {0, nullptr},
};

}  // namespace

PyType_Spec CompressorSpec = {"lzring.Compressor", sizeof(Compressor), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, kSlots};

}  // namespace lzring::python
