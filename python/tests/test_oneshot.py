import array
import mmap
import os
import pathlib
import struct
import subprocess
import sys
import textwrap
import threading

import pytest

import vemk
from conftest import corpus_bytes, corpus_hashes, sha256


@pytest.mark.parametrize("name,digest", corpus_hashes())
def test_corpus_gives_the_programs_bytes(name, digest, tmp_path):
    data = corpus_bytes(name)
    packed = vemk.compress(data)
    assert sha256(packed) == digest
    assert vemk.compress(data, threads=0) == vemk.compress(data, threads=2) == packed
    assert vemk.decompressed_size(packed) == len(data)
    assert vemk.decompress(packed) == data

    src, dst, back = tmp_path / name, tmp_path / "packed", tmp_path / "back"
    src.write_bytes(data)
    vemk.compress_file(src, dst)
    assert sha256(dst.read_bytes()) == digest
    vemk.decompress_file(dst, back)
    assert back.read_bytes() == data


def numpy_arrays(raw):
    np = pytest.importorskip("numpy")
    flat = np.frombuffer(raw, dtype=np.uint8).copy()
    return [flat, flat[: len(raw) // 4 * 4].reshape(4, -1)]


def buffers(raw):
    """Every kind of bytes-like object holding `raw` (or, for 2-D and wider items, its first bytes)."""
    whole = len(raw) // 4 * 4
    with_margin = memoryview(b"\x00\x01" + raw + b"\x02")[2:-1]
    made = [
        bytes(raw),
        bytearray(raw),
        memoryview(raw),
        with_margin,
        array.array("B", raw),
        array.array("I", raw[:whole]),
        memoryview(raw[:whole]).cast("B", (4, whole // 4)),
    ]
    m = mmap.mmap(-1, max(len(raw), 1))
    m[: len(raw)] = raw
    made.append(memoryview(m)[: len(raw)])
    return made


@pytest.mark.parametrize("maker", [buffers, numpy_arrays], ids=["python", "numpy"])
def test_every_buffer_type_is_read_in_place(maker):
    raw = corpus_bytes("fields.c")
    packed = vemk.compress(raw)
    for buffer in maker(raw):
        content = memoryview(buffer).tobytes()
        assert vemk.compress(buffer) == vemk.compress(content), type(buffer)
    for buffer in maker(packed):
        content = memoryview(buffer).tobytes()
        if len(content) == len(packed):
            assert vemk.decompress(buffer) == raw, type(buffer)
        assert vemk.decompressed_size(buffer) == len(raw), type(buffer)


@pytest.mark.parametrize(
    "value,error", [("text", TypeError), (5, TypeError), ([1, 2], TypeError), (None, TypeError),
                    (memoryview(b"abcdef")[::2], BufferError)])
def test_what_is_not_a_contiguous_buffer_is_refused(value, error):
    for call in (vemk.compress, vemk.decompress, vemk.decompressed_size):
        with pytest.raises(error):
            call(value)


def head(length, freqs):
    table = [0] * 256
    for value, freq in freqs.items():
        table[value] = freq
    return struct.pack("<i256H", length, *table)


PACKED = vemk.compress(b"hello world, hello vemk")


def flipped(at, bit):
    damaged = bytearray(PACKED)
    damaged[at] ^= bit
    return bytes(damaged)


# Damaged compressed files, each with the result and message the program gives.
DAMAGED = [
    ("negative length", head(-1, {97: 1}) + b"\x00" * 4, 7, "damaged file: negative length"),
    ("table sums to 0", head(3, {}) + b"\x00" * 4, 8, "damaged file: bad frequency table"),
    ("table above 65536", head(3, {97: 65535, 98: 2}) + b"\x00" * 4, 8, "damaged file: bad frequency table"),
    ("2 GiB - 1 with a bad table", head(2**31 - 1, {}) + b"\x00" * 4, 8, "damaged file: bad frequency table"),
    ("target outside table", head(3, {97: 3, 98: 5}) + b"\x00\xff\xff\xff\xff", 9, "damaged file: bad coded stream"),
    ("cut short", PACKED[:-3], 10, "damaged file: coded stream cut short"),
    ("head only", PACKED[:516], 10, "damaged file: coded stream cut short"),
    ("head cut short", PACKED[:100], 10, "damaged file: coded stream cut short"),
    ("bad stream end", flipped(517, 1), 12, "damaged file: bad coded stream"),
    ("bad stream end, later byte", flipped(524, 1), 12, "damaged file: bad coded stream"),
]


@pytest.mark.parametrize("data,result,message", [d[1:] for d in DAMAGED], ids=[d[0] for d in DAMAGED])
def test_damage_is_a_vemk_error_with_the_programs_message(data, result, message):
    with pytest.raises(vemk.VemkError) as caught:
        vemk.decompress(data)
    assert (caught.value.result, str(caught.value)) == (result, message)


def test_file_results_are_vemk_errors_with_the_programs_messages(tmp_path):
    small = tmp_path / "small"
    small.write_bytes(b"some bytes")
    large = tmp_path / "large"
    with open(large, "wb") as f:
        f.truncate(2**31)
    cases = [
        (vemk.compress_file, tmp_path / "missing", tmp_path / "out", 1, "cannot open file"),
        (vemk.decompress_file, tmp_path, tmp_path / "out", 1, "cannot open file"),
        (vemk.compress_file, small, tmp_path, 2, "cannot open out file"),
        (vemk.compress_file, small, small, 2, "cannot open out file"),
        (vemk.compress_file, "/proc/self/mem", tmp_path / "out", 3, "cannot read file"),
        (vemk.compress_file, large, tmp_path / "out", 4, "file too large"),
        (vemk.compress_file, small, "/dev/full", 6, "cannot write out file"),
    ]
    for call, src, dst, result, message in cases:
        with pytest.raises(vemk.VemkError) as caught:
            call(src, dst)
        assert (caught.value.result, str(caught.value)) == (result, message), (call, src, dst)
    assert small.read_bytes() == b"some bytes"


def test_two_gib_of_data_is_too_large():
    data = mmap.mmap(-1, 2**31)  # never touched, so never in memory
    with pytest.raises(vemk.VemkError) as caught:
        vemk.compress(data)
    assert (caught.value.result, str(caught.value)) == (4, "file too large")
    data.close()


def test_out_of_memory_is_memory_error(tmp_path):
    # In a process of its own, with far less address space than the input
    # (1 GiB) or the announced output (2 GiB - 1) needs.
    large = tmp_path / "large"
    with open(large, "wb") as f:
        f.truncate(1 << 30)
    claims = head(2**31 - 1, {97: 1}) + b"\x00" * 8
    script = textwrap.dedent(
        """
        import resource, sys, vemk
        resource.setrlimit(resource.RLIMIT_AS, (512 << 20, 512 << 20))
        for call in (lambda: vemk.compress_file(sys.argv[1], sys.argv[2]),
                     lambda: vemk.decompress(bytes.fromhex(sys.argv[3]))):
            try:
                call()
            except MemoryError as e:
                print("MemoryError:", e)
        """
    )
    run = subprocess.run([sys.executable, "-c", script, str(large), str(tmp_path / "out"), claims.hex()],
                         capture_output=True, text=True, check=True)
    assert run.stdout.splitlines() == ["MemoryError: not enough memory", "MemoryError: "]


def test_names_of_every_kind(tmp_path):
    (tmp_path / "in").write_bytes(b"named")
    for convert in (str, os.fsencode, pathlib.Path):
        vemk.compress_file(convert(tmp_path / "in"), convert(tmp_path / "out"))
        assert vemk.decompress((tmp_path / "out").read_bytes()) == b"named"
    with pytest.raises(ValueError):
        vemk.compress_file(str(tmp_path / "in") + "\0", tmp_path / "out")
    with pytest.raises(TypeError):
        vemk.compress_file(5, tmp_path / "out")


def test_two_threads_at_once_give_each_its_own_bytes():
    inputs = [corpus_bytes("plrabn12.txt") * 8, corpus_bytes("ptt5") * 8]
    expected = [vemk.compress(d) for d in inputs]
    results = [None, None]

    def work(i):
        packed = [vemk.compress(inputs[i]) for _ in range(3)]
        results[i] = (packed, [vemk.decompress(p) for p in packed])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i in range(2):
        assert results[i] == ([expected[i]] * 3, [inputs[i]] * 3)


def test_metadata():
    assert vemk.__version__.count(".") == 2
    for name in vemk.__all__:
        assert getattr(vemk, name) is not None
        if name != "__version__":
            assert getattr(vemk, name).__doc__, name
    assert vemk.VemkError("x").result is None
    with pytest.raises(ValueError):
        vemk.compress(b"", threads=-1)
    assert issubclass(vemk.VemkError, Exception)
