// lzring.Decompressor: a stream expanded piece by piece, over lzring::decoder
// with its output collected in the object, in the manner of the standard
// library's decompressor objects: max_length, eof, unused_data, needs_input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <span>
#include <vector>

#include "python/ext/support.h"

namespace lzring::python {
namespace {

struct State {
  explicit State(std::uint64_t limit) : decoder({}, limit), size(limit) {}

  lzring::decoder decoder;
  std::uint64_t size;  // kNoSize: none
  // Input not yet given to the decoder (max_length stopped it): bytes from
  // pending_from on.
  std::vector<std::uint8_t> pending;
  std::size_t pending_from = 0;
  // Input after the end of the stream, once `size` bytes were produced.
  std::vector<std::uint8_t> unused;
  bool reached = false;  // `size` bytes were produced (some may wait in the decoder)
  bool ended = false;    // flush() ended the input

  std::span<const std::uint8_t> Pending() const {
    return std::span<const std::uint8_t>(pending).subspan(pending_from);
  }
  std::size_t Queued() const { return decoder.output().size(); }

  // Gives `src` to the decoder until `want` output bytes wait in it or
  // `src` is used up, in slices small enough that little more than `want`
  // is produced. Returns the bytes of `src` taken. When the stream reaches
  // its size, the input after its end goes to `unused` and the rest of
  // `src` counts as taken.
  std::size_t Feed(std::span<const std::uint8_t> src, std::size_t want) {
    if (size == 0) {  // a stream of no bytes ends before its first
      reached = true;
      unused.insert(unused.end(), src.begin(), src.end());
      return src.size();
    }
    std::size_t taken = 0;
    while (taken < src.size() && Queued() < want) {
      std::size_t slice = src.size() - taken;
      if (want != SIZE_MAX) {
        // A compressed byte gives at most 9 output bytes.
        slice = std::min(slice, std::max<std::size_t>((want - Queued()) / 9, 64));
      }
      std::size_t used = 0;
      decoder.write(src.subspan(taken, slice), used);
      if (decoder.at_limit()) {
        // The stream ended inside this slice: what follows it is not the
        // stream's.
        reached = true;
        unused.insert(unused.end(), src.begin() + static_cast<std::ptrdiff_t>(taken + used),
                      src.end());
        return src.size();
      }
      taken += slice;
    }
    return taken;
  }

  // Adds `more` to the input kept for later, dropping what was taken.
  void Append(std::span<const std::uint8_t> more) {
    if (more.empty()) return;
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(pending_from));
    pending_from = 0;
    pending.insert(pending.end(), more.begin(), more.end());
  }

  // Keeps `rest` of the input for a later call; `rest` lies in `pending`
  // when `in_pending`.
  void Keep(std::span<const std::uint8_t> rest, bool in_pending) {
    if (rest.empty()) {
      pending.clear();
      pending_from = 0;
    } else if (in_pending) {
      pending_from = pending.size() - rest.size();
    } else {
      pending.assign(rest.begin(), rest.end());
      pending_from = 0;
    }
  }
};

struct Decompressor {
  PyObject ob_base;
  State* state;  // null until __init__ succeeded
  ObjectLock lock;
};

PyObject* DecompressorNew(PyTypeObject* type, PyObject*, PyObject*) {
  auto* self = reinterpret_cast<Decompressor*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  new (&self->lock) ObjectLock();
  self->state = nullptr;
  if (!self->lock.Init()) {
    Py_DECREF(self);
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(self);
}

int DecompressorInit(PyObject* object, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"size", nullptr};
  auto* self = reinterpret_cast<Decompressor*>(object);
  std::uint64_t size = kNoSize;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O&:Decompressor", const_cast<char**>(keywords),
                                   SizeArg, &size)) {
    return -1;
  }
  State* made = nullptr;
  if (!RunCodec(false, [&]() { made = new State(size); })) return -1;
  const std::lock_guard<ObjectLock> held(self->lock);
  delete self->state;
  self->state = made;
  return 0;
}

void DecompressorDealloc(PyObject* object) {
  auto* self = reinterpret_cast<Decompressor*>(object);
  delete self->state;
  self->lock.~ObjectLock();
  PyTypeObject* type = Py_TYPE(object);
  type->tp_free(object);
  Py_DECREF(type);
}

bool AtEof(const State& s) {
  return (s.reached || s.ended) && s.Queued() == 0;
}

// The state of `self` when it can take a call, else null with an
// exception: ValueError when the object is not usable at all, EOFError at
// the end of the stream unless `at_eof_ok`.
State* Usable(Decompressor* self, bool at_eof_ok) {
  State* s = self->state;
  if (s == nullptr) {
    PyErr_SetString(PyExc_ValueError, "Decompressor was not initialised");
  } else if (s->decoder.failed()) {
    PyErr_SetString(PyExc_ValueError, "Decompressor failed earlier");
  } else if (AtEof(*s) && !at_eof_ok) {
    PyErr_SetString(PyExc_EOFError, "End of stream already reached");
  } else {
    return s;
  }
  return nullptr;
}

// Takes up to `most` bytes of the decoder's output as a bytes object. A
// large output is copied with the GIL released, as it was produced.
PyObject* TakeOutput(State& s, std::size_t most) {
  const std::span<const std::uint8_t> queued = s.decoder.output();
  const std::size_t n = std::min(most, queued.size());
  PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
  if (out == nullptr) return nullptr;
  char* to = PyBytes_AS_STRING(out);
  RunCodec(n >= static_cast<std::size_t>(kReleaseGilBytes), [&]() {
    if (n > 0) std::memcpy(to, queued.data(), n);
  });
  s.decoder.consume(n);
  return out;
}

const char kDecompressMethodDoc[] =
    "decompress($self, data, /, max_length=-1)\n--\n\n"
    "Take the next piece of the compressed stream and return every byte\n"
    "that the input so far expands to (only a two-byte unit cut between its\n"
    "bytes waits for the next piece). With max_length >= 0 at most that many\n"
    "bytes are returned and the rest of the input is kept: needs_input is\n"
    "then False, and decompress(b'') gives more. Once size bytes were\n"
    "returned, eof is True and the input after the stream's end is in\n"
    "unused_data; a call after that raises EOFError.";

PyObject* DecompressorDecompress(PyObject* object, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"", "max_length", nullptr};
  auto* self = reinterpret_cast<Decompressor*>(object);
  Buffer in;
  Py_ssize_t max_length = -1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*|n:decompress", const_cast<char**>(keywords),
                                   in.get(), &max_length)) {
    return nullptr;
  }
  const std::lock_guard<ObjectLock> held(self->lock);
  State* s = Usable(self, false);
  if (s == nullptr) return nullptr;
  const std::size_t want = max_length < 0 ? SIZE_MAX : static_cast<std::size_t>(max_length);
  // The work of a call is that of the input it is given and of the input
  // kept from earlier calls (max_length stopped them), however small the
  // piece given now: decompress(b'') may expand all that was kept.
  const std::size_t work = static_cast<std::size_t>(in.size()) + s->Pending().size();
  const bool ok = RunCodec(work >= static_cast<std::size_t>(kReleaseGilBytes), [&]() {
    if (s->reached || s->ended) {
      // Past the end of the stream: only output still waiting is given.
      s->unused.insert(s->unused.end(), in.bytes().begin(), in.bytes().end());
      return;
    }
    // Input kept from earlier calls comes first.
    const bool from_pending = !s->Pending().empty();
    if (from_pending) s->Append(in.bytes());
    const std::span<const std::uint8_t> src = from_pending ? s->Pending() : in.bytes();
    const std::size_t taken = s->Feed(src, want);
    s->Keep(src.subspan(taken), from_pending);
  });
  if (!ok) return nullptr;
  return TakeOutput(*s, want);
}

const char kFlushDoc[] =
    "flush($self, /)\n--\n\n"
    "End the input and return the output not yet returned: b'' when every\n"
    "decompress() call ran without max_length. eof is True afterwards.\n"
    "Without size the stream ends where the input ends: a unit cut short by\n"
    "that end expands to nothing, as in decompress(). With size, raises\n"
    "EOFError when the input ended before size bytes; all the output\n"
    "expanded is kept, already returned by decompress() or still to be taken\n"
    "with decompress(b'').";

PyObject* DecompressorFlush(PyObject* object, PyObject*) {
  auto* self = reinterpret_cast<Decompressor*>(object);
  const std::lock_guard<ObjectLock> held(self->lock);
  State* s = Usable(self, true);
  if (s == nullptr) return nullptr;
  if (AtEof(*s)) return PyBytes_FromStringAndSize(nullptr, 0);
  const bool ok = RunCodec(true, [&]() {
    if (!s->reached && !s->ended) {
      s->Feed(s->Pending(), SIZE_MAX);
      s->Keep({}, true);
      if (!s->reached) s->decoder.finish();
    }
    s->ended = true;
  });
  if (!ok) return nullptr;
  // The output stays queued for decompress(b'') when the end is reported.
  if (!s->reached && s->size != kNoSize) {
    PyErr_Format(PyExc_EOFError, "compressed data ends after %llu of %llu bytes",
                 static_cast<unsigned long long>(s->decoder.bytes_out()),
                 static_cast<unsigned long long>(s->size));
    return nullptr;
  }
  // Without size the stream ends where the input ends, and a unit cut short
  // by that end expands to nothing, as in decompress() and the C library.
  return TakeOutput(*s, SIZE_MAX);
}

// The attributes wait for a call running on another thread, whose state
// they read.
PyObject* GetEof(PyObject* object, void*) {
  auto* self = reinterpret_cast<Decompressor*>(object);
  const std::lock_guard<ObjectLock> held(self->lock);
  return PyBool_FromLong(self->state != nullptr && AtEof(*self->state));
}

PyObject* GetNeedsInput(PyObject* object, void*) {
  auto* self = reinterpret_cast<Decompressor*>(object);
  const std::lock_guard<ObjectLock> held(self->lock);
  const State* s = self->state;
  return PyBool_FromLong(s != nullptr && !s->reached && !s->ended && s->Pending().empty() &&
                         s->Queued() == 0);
}

PyObject* GetUnusedData(PyObject* object, void*) {
  auto* self = reinterpret_cast<Decompressor*>(object);
  const std::lock_guard<ObjectLock> held(self->lock);
  if (self->state == nullptr) return PyBytes_FromStringAndSize(nullptr, 0);
  return BytesOf(self->state->unused);
}

// Named in the methods, __init__ shows its own signature in help() in
// place of the slot's generic one; Decompressor(...) still runs the slot.
PyObject* DecompressorInitMethod(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (DecompressorInit(self, args, kwargs) < 0) return nullptr;
  Py_RETURN_NONE;
}

const char kInitDoc[] =
    "__init__($self, /, size=None)\n--\n\n"
    "Start a stream, of size output bytes when size is given.";

PyMethodDef kMethods[] = {
    {"__init__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(DecompressorInitMethod)),
     METH_VARARGS | METH_KEYWORDS | METH_COEXIST, kInitDoc},
    {"decompress",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(DecompressorDecompress)),
     METH_VARARGS | METH_KEYWORDS, kDecompressMethodDoc},
    {"flush", DecompressorFlush, METH_NOARGS, kFlushDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"eof", GetEof, nullptr,
     "True once the stream has ended and all its output was returned: with\n"
     "size, as soon as size bytes are out; without size, only after flush(),\n"
     "as the format has no end marker (the stream ends where the input ends).",
     nullptr},
    {"needs_input", GetNeedsInput, nullptr,
     "False when decompress() can return more output without more input\n"
     "(max_length stopped it), or at the end of the stream.",
     nullptr},
    {"unused_data", GetUnusedData, nullptr,
     "The input after the end of the stream, once size bytes were produced.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kDoc[] =
    "Decompressor(size=None)\n--\n\n"
    "Expand a compressed stream given in pieces, as zlib's decompressobj()\n"
    "and lzma.LZMADecompressor do; each decompress() call returns every\n"
    "byte its input completes. With size (a stream stored inside another\n"
    "file, of known expanded size) the stream ends after that many output\n"
    "bytes, and eof and unused_data behave as in lzma. Without size the\n"
    "format has no end marker: the stream ends where the input ends, and eof\n"
    "stays False until flush() says the input has ended. Instead of lzma's\n"
    "'while not d.eof' loop, write:\n\n"
    "    d = lzring.Decompressor()\n"
    "    for chunk in iter(lambda: f.read(65536), b''):\n"
    "        out.write(d.decompress(chunk))\n"
    "    out.write(d.flush())  # b'' here; ends the stream (eof)\n\n"
    "The output is exactly decompress() of the pieces joined. One call at a\n"
    "time runs on an object; others wait.";

// A heap type: its dealloc releases the reference each object holds.
PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(DecompressorDealloc)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_init, reinterpret_cast<void*>(DecompressorInit)},
    {Py_tp_new, reinterpret_cast<void*>(DecompressorNew)},
    {0, nullptr},
};

}  // namespace

PyType_Spec DecompressorSpec = {"lzring.Decompressor", sizeof(Decompressor), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, kSlots};

}  // namespace lzring::python
