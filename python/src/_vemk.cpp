// vemk._vemk: the C interface of vemk.h for Python. Buffers are read in
// place, outputs are Python bytes objects written directly by the library,
// and the GIL is released while the library codes.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pythread.h>
#include <structmember.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "vemk.h"

namespace {

PyObject* vemkError = nullptr; // vemk.VemkError

// Sets the Python exception for a failed call and gives NULL: MemoryError
// when memory ran out, otherwise VemkError with the program's message and
// the result as `result`.
PyObject* raise(vemk_result r) {
    const char* message = vemk_message(r);
    if (r == VEMK_OUT_OF_MEMORY) {
        PyErr_SetString(PyExc_MemoryError, message);
        return nullptr;
    }
    PyObject* error = PyObject_CallFunction(vemkError, "s", message);
    if (error == nullptr) {
        return nullptr;
    }
    PyObject* value = PyLong_FromLong(static_cast<long>(r));
    if (value != nullptr && PyObject_SetAttrString(error, "result", value) == 0) {
        PyErr_SetObject(vemkError, error);
    }
    Py_XDECREF(value);
    Py_DECREF(error);
    return nullptr;
}

// A bytes object of `size` bytes to be filled, or NULL with MemoryError set.
PyObject* newBytes(std::size_t size) {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        return PyErr_NoMemory();
    }
    return PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
}

unsigned char* bytesData(PyObject* bytes) { return reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes)); }

std::size_t length(const Py_buffer& b) { return static_cast<std::size_t>(b.len); }

// ---- one-shot functions -----------------------------------------------------

PyObject* compress(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"", "threads", nullptr};
    Py_buffer in;
    int threads = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*|i:compress", const_cast<char**>(keywords), &in, &threads)) {
        return nullptr;
    }
    PyObject* out = nullptr;
    std::size_t bound = vemk_compress_bound(length(in));
    if (threads < 0) {
        PyErr_SetString(PyExc_ValueError, "threads must not be negative");
    } else if (bound == 0) {
        raise(VEMK_INPUT_TOO_LARGE);
    } else if ((out = newBytes(bound)) != nullptr) {
        // Room for the largest output; the bytes object then shrinks in place to the file's size.
        std::size_t size = 0;
        vemk_result r;
        Py_BEGIN_ALLOW_THREADS
        r = vemk_compress_threads(bytesData(out), bound, in.buf, length(in), &size, static_cast<unsigned>(threads));
        Py_END_ALLOW_THREADS
        if (r != VEMK_OK) {
            Py_CLEAR(out);
            raise(r);
        } else {
            _PyBytes_Resize(&out, static_cast<Py_ssize_t>(size));
        }
    }
    PyBuffer_Release(&in);
    return out;
}

PyObject* decompress(PyObject*, PyObject* arg) {
    Py_buffer in;
    if (!PyArg_Parse(arg, "y*:decompress", &in)) {
        return nullptr;
    }
    PyObject* out = nullptr;
    std::size_t n = 0;
    vemk_result r = vemk_decompressed_size(in.buf, length(in), &n);
    if (r == VEMK_OK && n > 0) {
        // The head is checked before the room, so a damaged head is told
        // as damage before memory for what it announces is sought.
        r = vemk_decompress(nullptr, 0, in.buf, length(in), nullptr);
        r = r == VEMK_DESTINATION_TOO_SMALL ? VEMK_OK : r;
    }
    if (r != VEMK_OK) {
        raise(r);
    } else if ((out = newBytes(n)) != nullptr) {
        Py_BEGIN_ALLOW_THREADS
        r = vemk_decompress(bytesData(out), n, in.buf, length(in), &n);
        Py_END_ALLOW_THREADS
        if (r != VEMK_OK) {
            Py_CLEAR(out);
            raise(r);
        }
    }
    PyBuffer_Release(&in);
    return out;
}

PyObject* decompressedSize(PyObject*, PyObject* arg) {
    Py_buffer in;
    if (!PyArg_Parse(arg, "y*:decompressed_size", &in)) {
        return nullptr;
    }
    std::size_t n = 0;
    vemk_result r = vemk_decompressed_size(in.buf, length(in), &n);
    PyBuffer_Release(&in);
    return r == VEMK_OK ? PyLong_FromSize_t(n) : raise(r);
}

// compress_file and decompress_file: two names as str, bytes or os.PathLike.
template <vemk_result (*call)(const char*, const char*)>
PyObject* fileCall(PyObject*, PyObject* args) {
    PyObject* src = nullptr;
    PyObject* dst = nullptr;
    if (!PyArg_ParseTuple(args, "O&O&", PyUnicode_FSConverter, &src, PyUnicode_FSConverter, &dst)) {
        Py_XDECREF(src);
        return nullptr;
    }
    vemk_result r;
    Py_BEGIN_ALLOW_THREADS
    r = call(PyBytes_AS_STRING(src), PyBytes_AS_STRING(dst));
    Py_END_ALLOW_THREADS
    Py_DECREF(src);
    Py_DECREF(dst);
    if (r != VEMK_OK) {
        return raise(r);
    }
    Py_RETURN_NONE;
}

// ---- VemkDecompressor -----------------------------------------------------

struct Decompressor {
    PyObject_HEAD
    vemk_dstream* stream;
    PyThread_type_lock lock; // one call at a time on the stream
    // Input given but not yet taken, because the output had reached max_length.
    unsigned char* pending;
    std::size_t pendingStart, pendingEnd;
    PyObject* unusedData; // the bytes after the end of the stream
    char eof, needsInput;
};

// Takes the object's lock, letting other threads run while it waits.
void lock(Decompressor* self) {
    if (!PyThread_acquire_lock(self->lock, NOWAIT_LOCK)) {
        Py_BEGIN_ALLOW_THREADS
        PyThread_acquire_lock(self->lock, WAIT_LOCK);
        Py_END_ALLOW_THREADS
    }
}

PyObject* decompressorNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "VemkDecompressor() takes no arguments");
        return nullptr;
    }
    auto* self = reinterpret_cast<Decompressor*>(type->tp_alloc(type, 0));
    if (self == nullptr) {
        return nullptr;
    }
    self->needsInput = 1;
    self->unusedData = PyBytes_FromStringAndSize(nullptr, 0);
    self->lock = PyThread_allocate_lock();
    self->stream = vemk_dstream_new();
    if (self->unusedData == nullptr || self->lock == nullptr || self->stream == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject*>(self);
}

void decompressorDealloc(Decompressor* self) {
    vemk_dstream_free(self->stream);
    if (self->lock != nullptr) {
        PyThread_free_lock(self->lock);
    }
    PyMem_Free(self->pending);
    Py_XDECREF(self->unusedData);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The input of one call: what is pending, then `data`. Joined in the
// pending buffer only when both are there; otherwise read in place.
bool gatherInput(Decompressor* self, const Py_buffer& data, const unsigned char*& src, std::size_t& size,
                 bool& inPending) {
    std::size_t held = self->pendingEnd - self->pendingStart;
    inPending = held > 0;
    if (held == 0) {
        src = static_cast<const unsigned char*>(data.buf);
        size = length(data);
        return true;
    }
    if (length(data) > 0) {
        if (length(data) > PY_SSIZE_T_MAX - held) {
            PyErr_NoMemory();
            return false;
        }
        auto* joined = static_cast<unsigned char*>(PyMem_Malloc(held + length(data)));
        if (joined == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        std::memcpy(joined, self->pending + self->pendingStart, held);
        std::memcpy(joined + held, data.buf, length(data));
        PyMem_Free(self->pending);
        self->pending = joined;
        self->pendingStart = 0;
        self->pendingEnd = held + length(data);
    }
    src = self->pending + self->pendingStart;
    size = self->pendingEnd - self->pendingStart;
    return true;
}

// Keeps the input not taken (from `src`, `left` bytes) for the next call:
// as unused_data once the stream has ended, otherwise as pending input.
bool keepInput(Decompressor* self, const unsigned char* src, std::size_t left, bool inPending) {
    if (self->eof) {
        PyObject* unused = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(src), static_cast<Py_ssize_t>(left));
        if (unused == nullptr) {
            return false;
        }
        Py_SETREF(self->unusedData, unused);
        left = 0;
    }
    if (left == 0) {
        PyMem_Free(self->pending);
        self->pending = nullptr;
        self->pendingStart = self->pendingEnd = 0;
    } else if (inPending) {
        self->pendingStart = self->pendingEnd - left;
    } else {
        auto* copy = static_cast<unsigned char*>(PyMem_Malloc(left));
        if (copy == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        std::memcpy(copy, src, left);
        PyMem_Free(self->pending);
        self->pending = copy;
        self->pendingStart = 0;
        self->pendingEnd = left;
    }
    return true;
}

constexpr std::size_t firstRoom = 64 * 1024;

// Restores from `src` into a new bytes object of at most `limit` bytes (no
// limit when negative), growing it as it fills; `used` is the input taken.
PyObject* restore(Decompressor* self, const unsigned char* src, std::size_t size, Py_ssize_t limit,
                  std::size_t& used) {
    std::size_t most = limit < 0 ? static_cast<std::size_t>(PY_SSIZE_T_MAX) : static_cast<std::size_t>(limit);
    // Without a limit, room for twice the input at first: most files restore to less.
    std::size_t room = limit >= 0 || size < firstRoom / 2 ? firstRoom : size <= most / 2 ? 2 * size : most;
    room = room < most ? room : most;
    PyObject* out = newBytes(room);
    std::size_t filled = 0;
    used = 0;
    while (out != nullptr) {
        std::size_t written = 0, taken = 0;
        int done = 0;
        vemk_result r;
        Py_BEGIN_ALLOW_THREADS
        r = vemk_dstream_decode(self->stream, bytesData(out) + filled, room - filled, &written, src + used,
                                size - used, &taken, &done);
        Py_END_ALLOW_THREADS
        filled += written;
        used += taken;
        if (r != VEMK_OK) {
            Py_CLEAR(out);
            return raise(r);
        }
        self->eof = static_cast<char>(done != 0);
        if (done || filled < room || filled == most) {
            // Output that reached the limit may have more behind it without more input.
            self->needsInput = static_cast<char>(!done && used == size && filled < most);
            break;
        }
        room = room <= most / 2 ? room * 2 : most;
        if (_PyBytes_Resize(&out, static_cast<Py_ssize_t>(room)) != 0) {
            return nullptr;
        }
    }
    if (out != nullptr && _PyBytes_Resize(&out, static_cast<Py_ssize_t>(filled)) != 0) {
        return nullptr;
    }
    return out;
}

// decompress() and the start of flush(): restores from what is pending and `data`.
PyObject* decompressLocked(Decompressor* self, const Py_buffer& data, Py_ssize_t limit) {
    if (self->eof) {
        PyErr_SetString(PyExc_EOFError, "End of stream already reached");
        return nullptr;
    }
    const unsigned char* src = nullptr;
    std::size_t size = 0, used = 0;
    bool inPending = false;
    if (!gatherInput(self, data, src, size, inPending)) {
        return nullptr;
    }
    PyObject* out = restore(self, src, size, limit, used);
    if (out != nullptr && !keepInput(self, src + used, size - used, inPending)) {
        Py_CLEAR(out);
    }
    return out;
}

PyObject* decompressorDecompress(Decompressor* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "max_length", nullptr};
    Py_buffer data;
    Py_ssize_t limit = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*|n:decompress", const_cast<char**>(keywords), &data, &limit)) {
        return nullptr;
    }
    lock(self);
    PyObject* out = decompressLocked(self, data, limit);
    PyThread_release_lock(self->lock);
    PyBuffer_Release(&data);
    return out;
}

PyObject* decompressorFlush(Decompressor* self, PyObject*) {
    lock(self);
    PyObject* out = nullptr;
    if (self->eof) {
        out = PyBytes_FromStringAndSize(nullptr, 0);
    } else {
        Py_buffer none;
        std::memset(&none, 0, sizeof none);
        out = decompressLocked(self, none, -1);
        if (out != nullptr && !self->eof) {
            vemk_result r = vemk_dstream_end(self->stream);
            if (r != VEMK_OK) {
                Py_CLEAR(out);
                raise(r);
            } else {
                self->eof = 1;
                self->needsInput = 0;
            }
        }
    }
    PyThread_release_lock(self->lock);
    return out;
}

PyDoc_STRVAR(decompressorDecompressDoc,
             "decompress($self, /, data, max_length=-1)\n--\n\n"
             "Restore the next piece of a compressed file from data (any bytes-like object).\n\n"
             "Returns the restored bytes, at most max_length of them when max_length is not\n"
             "negative; input that could not yet be used is kept for the next call, which may\n"
             "then pass b\"\". Once the whole file is restored, eof is True and the bytes that\n"
             "follow it are in unused_data; a further call raises EOFError. Damage raises\n"
             "VemkError as soon as it is certain; bytes returned before then are not to be\n"
             "trusted.");

PyDoc_STRVAR(decompressorFlushDoc,
             "flush($self, /)\n--\n\n"
             "Say that the input has ended: return the rest of the restored bytes and raise\n"
             "VemkError (as decompress() of the whole input would) if the file is cut short\n"
             "or damaged. Afterwards eof is True.");

PyMethodDef decompressorMethods[] = {
    {"decompress", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decompressorDecompress)),
     METH_VARARGS | METH_KEYWORDS, decompressorDecompressDoc},
    {"flush", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decompressorFlush)), METH_NOARGS,
     decompressorFlushDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef decompressorMembers[] = {
    {"eof", T_BOOL, offsetof(Decompressor, eof), READONLY, "True once the whole compressed file has been restored."},
    {"needs_input", T_BOOL, offsetof(Decompressor, needsInput), READONLY,
     "False when decompress() can give more bytes without more input."},
    {"unused_data", T_OBJECT_EX, offsetof(Decompressor, unusedData), READONLY,
     "The bytes found after the end of the compressed file (b\"\" until eof)."},
    {nullptr, 0, 0, 0, nullptr},
};

PyDoc_STRVAR(decompressorDoc,
             "VemkDecompressor()\n--\n\n"
             "Restores one compressed file given in pieces of any size, as bz2.BZ2Decompressor\n"
             "does, holding only the head, its tables and the decoder's state: memory does not\n"
             "grow with the file. One object is used by one thread at a time (calls from\n"
             "several are taken in turn); separate objects run at the same time.");

PyType_Slot decompressorSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(decompressorDealloc)},
    {Py_tp_doc, const_cast<char*>(decompressorDoc)},
    {Py_tp_methods, decompressorMethods},
    {Py_tp_members, decompressorMembers},
    {Py_tp_new, reinterpret_cast<void*>(decompressorNew)},
    {0, nullptr},
};

PyType_Spec decompressorTypeDef = {"vemk.VemkDecompressor", sizeof(Decompressor), 0, Py_TPFLAGS_DEFAULT,
                                decompressorSlots};

// ---- the module -------------------------------------------------------------

PyDoc_STRVAR(compressDoc,
             "compress(data, /, threads=1)\n--\n\n"
             "Compress data (any bytes-like object, read in place) into the compressed file\n"
             "that `vemk c` writes, on up to `threads` threads for a large input (the bytes are\n"
             "the same for any number). Raises VemkError for 2 GiB of data or more.");
PyDoc_STRVAR(decompressDoc,
             "decompress(data, /)\n--\n\n"
             "Restore the bytes of the whole compressed file in data (any bytes-like object),\n"
             "as `vemk d` does: bytes after the coded stream are ignored. Raises VemkError\n"
             "for a damaged or cut file.");
PyDoc_STRVAR(decompressedSizeDoc,
             "decompressed_size(data, /)\n--\n\n"
             "The number of bytes that the head of the compressed file in data announces,\n"
             "read from the head alone.");
PyDoc_STRVAR(compressFileDoc,
             "compress_file(src, dst, /)\n--\n\n"
             "Compress the file src into dst (names as str, bytes or os.PathLike) with the\n"
             "command line's rules: dst is created or truncated, and left empty on failure.");
PyDoc_STRVAR(decompressFileDoc,
             "decompress_file(src, dst, /)\n--\n\n"
             "Restore the compressed file src into dst with the command line's rules.");

PyMethodDef moduleMethods[] = {
    {"compress", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compress)), METH_VARARGS | METH_KEYWORDS,
     compressDoc},
    {"decompress", decompress, METH_O, decompressDoc},
    {"decompressed_size", decompressedSize, METH_O, decompressedSizeDoc},
    {"compress_file", fileCall<vemk_compress_file>, METH_VARARGS, compressFileDoc},
    {"decompress_file", fileCall<vemk_decompress_file>, METH_VARARGS, decompressFileDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(errorDoc, "A failure of the vemk library: str(e) is the message that the `vemk` program\n"
                       "prints for it, and e.result the C library's vemk_result value.");

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT, "vemk._vemk", "The vemk library's C interface for Python.", -1,
                         moduleMethods, nullptr, nullptr, nullptr, nullptr};

} // namespace

PyMODINIT_FUNC PyInit__vemk(void) {
    PyObject* module = PyModule_Create(&moduleDef);
    if (module == nullptr) {
        return nullptr;
    }
    PyObject* decompressorType = PyType_FromSpec(&decompressorTypeDef);
    PyObject* fields = Py_BuildValue("{s:O}", "result", Py_None);
    if (fields != nullptr) {
        vemkError = PyErr_NewExceptionWithDoc("vemk.VemkError", errorDoc, PyExc_Exception, fields);
        Py_DECREF(fields);
    }
    bool added = vemkError != nullptr && decompressorType != nullptr &&
                 PyModule_AddObjectRef(module, "VemkError", vemkError) == 0 &&
                 PyModule_AddObjectRef(module, "VemkDecompressor", decompressorType) == 0 &&
                 PyModule_AddStringConstant(module, "__version__", vemk_version()) == 0;
    Py_XDECREF(decompressorType);
    if (!added) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
