"""The vemk library's C interface for Python."""
from typing import Optional

from _typeshed import ReadableBuffer as Buffer
from _typeshed import StrOrBytesPath

__version__: str

class VemkError(Exception):
    """A failure of the vemk library: str(e) is the program's message, e.result the vemk_result value."""

    result: Optional[int]

def compress(data: Buffer, /, threads: int = 1) -> bytes:
    """Compress data into the compressed file that `vemk c` writes."""

def decompress(data: Buffer, /) -> bytes:
    """Restore the bytes of the whole compressed file in data."""

def decompressed_size(data: Buffer, /) -> int:
    """The number of bytes that the head of the compressed file in data announces."""

def compress_file(src: StrOrBytesPath, dst: StrOrBytesPath, /) -> None:
    """Compress the file src into dst with the command line's rules."""

def decompress_file(src: StrOrBytesPath, dst: StrOrBytesPath, /) -> None:
    """Restore the compressed file src into dst with the command line's rules."""

class VemkDecompressor:
    """Restores one compressed file given in pieces of any size."""

    @property
    def eof(self) -> bool:
        """True once the whole compressed file has been restored."""
    @property
    def needs_input(self) -> bool:
        """False when decompress() can give more bytes without more input."""
    @property
    def unused_data(self) -> bytes:
        """The bytes found after the end of the compressed file."""
    def decompress(self, data: Buffer, max_length: int = -1) -> bytes:
        """Restore the next piece of a compressed file from data."""
    def flush(self) -> bytes:
        """Say that the input has ended; raise VemkError if the file is cut short or damaged."""
