// The extension module lzring._lzring: its functions, types and constants.
// The package lzring (__init__.py) exports them with the file object.
#include <cstdint>

#include "python/ext/support.h"

namespace lzring::python {
namespace {

template <class Function>
PyCFunction Method(Function function) {
  // Functions that take keywords have a third parameter; the table stores
  // every function as PyCFunction and calls it by its flags.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef kFunctions[] = {
    {"compress", Method(Compress), METH_VARARGS | METH_KEYWORDS, kCompressDoc},
    {"decompress", Method(Decompress), METH_VARARGS | METH_KEYWORDS, kDecompressDoc},
    {"expanded_size", Method(ExpandedSize), METH_VARARGS | METH_KEYWORDS, kExpandedSizeDoc},
    {"compress_file", Method(CompressFile), METH_VARARGS | METH_KEYWORDS, kCompressFileDoc},
    {"decompress_file", Method(DecompressFile), METH_VARARGS | METH_KEYWORDS, kDecompressFileDoc},
    {"_native_time", Method(NativeTime), METH_VARARGS, kNativeTimeDoc},
    {"_bounds", Bounds, METH_O, kBoundsDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "lzring._lzring",
    "The codec of the lzring package; use the package lzring.",
    -1,
    kFunctions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool AddType(PyObject* module, const char* name, PyType_Spec& spec) {
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) return false;
  if (PyModule_AddObject(module, name, type) < 0) {
    Py_DECREF(type);
    return false;
  }
  return true;
}

}  // namespace
}  // namespace lzring::python

PyMODINIT_FUNC PyInit__lzring() {
  using namespace lzring::python;
  PyObject* module = PyModule_Create(&kModule);
  if (module == nullptr) return nullptr;
  if (!AddType(module, "Compressor", CompressorSpec) ||
      !AddType(module, "Decompressor", DecompressorSpec) ||
      PyModule_AddStringConstant(module, "LIBRARY_VERSION", lzring::version()) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
