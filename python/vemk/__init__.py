"""Compress and restore with vemk, as Python's bz2 and lzma modules do.

One-shot functions (compress, decompress, decompressed_size, compress_file,
decompress_file), incremental objects (VemkCompressor, VemkDecompressor) and
open(), which gives a VemkFile. The bytes are those of the `vemk` program,
and every failure the library reports is a VemkError whose str() is the
program's message (MemoryError when memory runs out).
"""
from __future__ import annotations

import builtins
import io
import operator
import os
import threading
from typing import IO, TYPE_CHECKING, Any, Optional, Union

from ._vemk import (
    VemkDecompressor,
    VemkError,
    __version__,
    compress,
    compress_file,
    decompress,
    decompress_file,
    decompressed_size,
)

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer, StrOrBytesPath, WriteableBuffer

__all__ = [
    "VemkCompressor",
    "VemkDecompressor",
    "VemkError",
    "VemkFile",
    "__version__",
    "compress",
    "compress_file",
    "decompress",
    "decompress_file",
    "decompressed_size",
    "open",
]

# The size of the reads from the compressed file.
_READ_SIZE = 64 * 1024


def _threads(threads: int) -> int:
    threads = operator.index(threads)
    if threads < 0:
        raise ValueError("threads must not be negative")
    return threads


class VemkCompressor:
    """Compresses data given in pieces, as bz2.BZ2Compressor does.

    The head of a compressed file holds the counts of the whole input, so
    compress() only keeps the data and flush() gives the whole file. One
    object is used by one thread at a time (calls from several are taken in
    turn); separate objects run at the same time.
    """

    def __init__(self, threads: int = 1) -> None:
        """A compressor whose flush() codes on up to `threads` threads."""
        self._threads = _threads(threads)
        self._data: Optional[bytearray] = bytearray()
        self._lock = threading.Lock()

    def compress(self, data: ReadableBuffer) -> bytes:
        """Keep data (any bytes-like object) for flush(); returns b""."""
        with self._lock:
            if self._data is None:
                raise ValueError("Compressor has been flushed")
            self._data += data
            return b""

    def flush(self) -> bytes:
        """The whole compressed file of all the data given; the compressor cannot be used again."""
        with self._lock:
            if self._data is None:
                raise ValueError("Repeated call to flush()")
            data, self._data = self._data, None
            return compress(data, threads=self._threads)


class _Reader(io.RawIOBase):
    """The restored bytes of a compressed file object, read as they are asked for.

    Compressed files one after another (as mode "ab" makes them) read as
    the concatenation of their bytes.
    """

    def __init__(self, fp: IO[bytes]) -> None:
        self._fp = fp
        self._decompressor = VemkDecompressor()
        self._position = 0
        self._restored = 0  # by the current compressed file
        self._finished = False

    def readable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._position

    def readinto(self, b: WriteableBuffer) -> int:
        with memoryview(b) as view, view.cast("B") as target:
            data = self.read(len(target))
            target[: len(data)] = data
        return len(data)

    def read(self, size: int = -1) -> bytes:
        if size < 0:
            return self.readall()
        while size and not self._finished:
            data = self._next(size)
            if data:
                self._position += len(data)
                self._restored += len(data)
                return data
        return b""

    def _after_empty_file(self, rest: bytes) -> bytes:
        # An empty file is whole after its head, so the restore leaves the
        # four zero bytes of its coded stream unused: they start no file.
        while len(rest) < 4:
            more = self._fp.read(_READ_SIZE)
            if not more:
                break
            rest += more
        return rest[4:] if rest[:4] == bytes(4) else rest

    def _next(self, size: int) -> bytes:
        # Up to size more bytes; b"" where a step gave none, which may be
        # the end of the input (then _finished is set).
        d = self._decompressor
        if d.eof:
            rest = d.unused_data or self._fp.read(_READ_SIZE)
            if not self._restored:
                rest = self._after_empty_file(rest)
            self._restored = 0
            if not rest:
                self._finished = True
                return b""
            d = self._decompressor = VemkDecompressor()
            return d.decompress(rest, size)
        if not d.needs_input:
            return d.decompress(b"", size)
        block = self._fp.read(_READ_SIZE)
        if not block:
            return d.flush()  # raises for a file cut short or damaged
        return d.decompress(block, size)


_MODES = {"r": "rb", "rb": "rb", "w": "wb", "wb": "wb", "x": "xb", "xb": "xb", "a": "ab", "ab": "ab"}


class VemkFile(io.BufferedIOBase):
    """A compressed file, opened as bz2.BZ2File opens one.

    Mode "rb" reads the restored bytes as a stream, in memory that does not
    grow with the file; it does not seek. Modes "wb", "xb" and "ab" keep
    what is written and write the compressed file at close().
    """

    # What close() finds if the constructor fails part-way.
    _closed = True
    _fp: Any = None
    _close_fp = False
    _written: Optional[bytearray] = None
    _buffer: Optional[io.BufferedReader] = None

    def __init__(self, file: Union[StrOrBytesPath, IO[bytes]], mode: str = "rb", *, threads: int = 1) -> None:
        """Open file, a name (str, bytes or os.PathLike) or a file object, in mode "rb", "wb", "xb" or "ab"
        ("r", "w", "x" and "a" mean the same); a compressed file written uses up to `threads` threads."""
        if mode not in _MODES:
            raise ValueError("invalid mode: %r" % (mode,))
        self._mode = _MODES[mode]
        self._threads = _threads(threads)
        if isinstance(file, (str, bytes, os.PathLike)):
            self._fp = builtins.open(file, self._mode)
            self._close_fp = True
        elif hasattr(file, "read" if self._mode == "rb" else "write"):
            self._fp = file
            self._close_fp = False
        else:
            raise TypeError("file must be a name or a file object")
        try:
            if self._mode == "rb":
                self._buffer = io.BufferedReader(_Reader(self._fp), _READ_SIZE)
            else:
                self._written = bytearray()
        except BaseException:
            self._drop_fp()
            raise
        self._closed = False

    def _drop_fp(self) -> None:
        fp, self._fp = self._fp, None
        if self._close_fp and fp is not None:
            fp.close()

    @property
    def closed(self) -> bool:
        """True once the file is closed."""
        return self._closed

    @property
    def mode(self) -> str:
        """The mode: "rb", "wb", "xb" or "ab"."""
        return self._mode

    def close(self) -> None:
        """Close the file; in a mode that writes, first write the compressed file of all that was written."""
        if self._closed:
            return
        try:
            if self._written is not None:
                written, self._written = self._written, None
                self._fp.write(compress(written, threads=self._threads))
        finally:
            self._closed = True
            self._buffer = None
            self._drop_fp()

    def _reading(self) -> io.BufferedReader:
        if self._closed:
            raise ValueError("I/O operation on closed file")
        if self._buffer is None:
            raise io.UnsupportedOperation("File not open for reading")
        return self._buffer

    def readable(self) -> bool:
        """True in mode "rb"."""
        if self._closed:
            raise ValueError("I/O operation on closed file")
        return self._buffer is not None

    def writable(self) -> bool:
        """True in the modes that write."""
        if self._closed:
            raise ValueError("I/O operation on closed file")
        return self._written is not None

    def seekable(self) -> bool:
        """False: a compressed file is read and written from start to end."""
        if self._closed:
            raise ValueError("I/O operation on closed file")
        return False

    def fileno(self) -> int:
        """The file descriptor of the underlying compressed file."""
        if self._closed:
            raise ValueError("I/O operation on closed file")
        fileno: int = self._fp.fileno()
        return fileno

    def read(self, size: Optional[int] = -1) -> bytes:
        """Up to size restored bytes (all the rest when size is negative or None); b"" at the end."""
        return self._reading().read(size)

    def read1(self, size: int = -1) -> bytes:
        """Up to size restored bytes with at most one read of the compressed file."""
        return self._reading().read1(size)

    def readinto(self, b: WriteableBuffer) -> int:
        """Read restored bytes into b, a writable bytes-like object; the number of bytes read."""
        return self._reading().readinto(b)

    def readinto1(self, b: WriteableBuffer) -> int:
        """readinto() with at most one read of the compressed file."""
        return self._reading().readinto1(b)

    def readline(self, size: Optional[int] = -1) -> bytes:
        """The next line of the restored bytes, with its b"\\n"."""
        return self._reading().readline(size)

    def peek(self, size: int = 0) -> bytes:
        """Restored bytes ahead, without moving past them (at least one unless at the end)."""
        return self._reading().peek(size)

    def tell(self) -> int:
        """The number of uncompressed bytes read or written so far."""
        if self._closed:
            raise ValueError("I/O operation on closed file")
        if self._written is not None:
            return len(self._written)
        return self._reading().tell()

    def write(self, data: ReadableBuffer) -> int:
        """Keep data (any bytes-like object) for the compressed file; the number of bytes kept."""
        if self._closed:
            raise ValueError("I/O operation on closed file")
        if self._written is None:
            raise io.UnsupportedOperation("File not open for writing")
        with memoryview(data) as view:
            self._written += view
            return view.nbytes


def open(
    file: Union[StrOrBytesPath, IO[bytes]], mode: str = "rb", *, threads: int = 1
) -> VemkFile:
    """Open a compressed file, a name or a file object, as a VemkFile: "rb" reads its restored bytes as a
    stream; "wb", "xb" and "ab" write the compressed file of what is written when it is closed."""
    return VemkFile(file, mode, threads=threads)
