import io
import os
import pathlib
import subprocess
import sys
import textwrap
import threading

import pytest

import vemk
from conftest import samples
from test_oneshot import DAMAGED

NAMES = [str, os.fsencode, pathlib.Path]


def write_with(target, mode, chunks):
    with vemk.open(target, mode) as f:
        assert f.writable() and not f.readable() and not f.seekable()
        for chunk in chunks:
            assert f.write(chunk) == memoryview(chunk).nbytes
        assert f.tell() == sum(memoryview(c).nbytes for c in chunks)
    assert f.closed


@pytest.mark.parametrize("mode", ["wb", "w", "xb", "x", "ab", "a"])
@pytest.mark.parametrize("name", NAMES + [None], ids=["str", "bytes", "path", "file object"])
def test_each_writing_mode_on_a_name_and_a_file_object(mode, name, tmp_path):
    path = tmp_path / "f.vemk"
    data = samples()[3][1]
    chunks = [data[:1000], bytearray(data[1000:5000]), memoryview(data[5000:])]
    if name is None:
        with open(path, mode[0] + "b") as fp:
            write_with(fp, mode, chunks)
            assert not fp.closed  # a file object given stays open
    else:
        write_with(name(path), mode, chunks)
    assert path.read_bytes() == vemk.compress(data)
    for reader in [name(path) if name else path, io.BytesIO(path.read_bytes())]:
        with vemk.open(reader) as f:
            assert f.read() == data


def test_xb_refuses_a_file_that_exists_and_ab_adds_a_file(tmp_path):
    path = tmp_path / "f.vemk"
    path.write_bytes(vemk.compress(b"first "))
    with pytest.raises(FileExistsError):
        vemk.open(path, "xb")
    for part in [b"", b"second ", b"", b"third"]:
        with vemk.open(path, "ab") as f:
            f.write(part)
    with vemk.open(path) as f:
        assert f.read() == b"first second third"
    assert vemk.decompress(path.read_bytes()) == b"first "
    # Bytes after the last file are read as the start of another one.
    with vemk.open(io.BytesIO(path.read_bytes() + b"junk")) as f:
        with pytest.raises(vemk.VemkError) as caught:
            f.read()
    with pytest.raises(vemk.VemkError) as alone:
        vemk.decompress(b"junk")
    assert caught.value.result == alone.value.result


@pytest.mark.parametrize("mode", ["rt", "wt", "r+b", "", "rw"])
def test_other_modes_are_refused(mode, tmp_path):
    with pytest.raises(ValueError):
        vemk.open(tmp_path / "f", mode)


def test_reading_methods_give_the_restored_bytes(rng):
    data = b"".join(b"line %d of the file\n" % i for i in range(20000))
    packed = vemk.compress(data)
    with vemk.open(io.BytesIO(packed)) as f:
        assert f.readable() and not f.writable() and not f.seekable()
        got = [f.read(5), f.read1(100), f.peek(3)[:0], f.readline()]
        buffer = bytearray(rng.randint(1, 100000))
        got.append(buffer[: f.readinto(buffer)])
        got.append(buffer[: f.readinto1(buffer)])
        while True:
            piece = f.read(rng.randint(0, 70000))
            if not piece and f.read(1) == b"":
                break
            got.append(piece)
        assert b"".join(got) == data
        assert f.tell() == len(data)
        with pytest.raises(io.UnsupportedOperation):
            f.seek(0)
        with pytest.raises(io.UnsupportedOperation):
            f.write(b"x")
    with vemk.open(io.BytesIO(packed)) as f:
        lines = list(f)
    assert b"".join(lines) == data and len(lines) == 20000
    with pytest.raises(ValueError):
        f.read()


@pytest.mark.parametrize("data,result,message", [d[1:] for d in DAMAGED], ids=[d[0] for d in DAMAGED])
def test_reading_a_damaged_file_gives_the_one_shot_result(data, result, message):
    with vemk.open(io.BytesIO(data)) as f:
        with pytest.raises(vemk.VemkError) as caught:
            f.read()
    assert (caught.value.result, str(caught.value)) == (result, message)


def test_file_arguments_are_checked(tmp_path):
    with pytest.raises(TypeError):
        vemk.open(5)
    with pytest.raises(FileNotFoundError):
        vemk.open(tmp_path / "missing")
    with vemk.open(tmp_path / "w", "wb") as f:
        with pytest.raises(io.UnsupportedOperation):
            f.read()
        with pytest.raises(TypeError):
            f.write("text")
    assert vemk.decompress((tmp_path / "w").read_bytes()) == b""


def test_reading_a_large_file_holds_memory_flat(tmp_path, rng):
    # 40 MB of random bytes, compressed to slightly more, read in 64 KiB
    # reads in a process of its own: its peak memory must grow by far less
    # than the file.
    seed = rng.randrange(2**32)
    print("data seed", seed)
    import random

    path = tmp_path / "large.vemk"
    data = random.Random(seed).randbytes(40_000_000)
    path.write_bytes(vemk.compress(data))
    del data
    script = textwrap.dedent(
        """
        import resource, sys, vemk
        def peak():
            return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        f = vemk.open(sys.argv[1])
        f.read(1)
        before, total = peak(), 1
        while True:
            piece = f.read(65536)
            if not piece:
                break
            total += len(piece)
        print(total, peak() - before)
        """
    )
    out = subprocess.run([sys.executable, "-c", script, str(path)], capture_output=True, text=True, check=True).stdout
    total, growth = map(int, out.split())
    assert total == 40_000_000
    assert growth < 16 << 20, growth


def test_two_threads_each_with_its_own_file(tmp_path):
    files = []
    for i, (name, data) in enumerate(samples()[2:5]):
        path = tmp_path / ("%d.vemk" % i)
        path.write_bytes(vemk.compress(data * 3))
        files.append((path, data * 3))
    results = {}

    def work(i):
        path, _ = files[i]
        with vemk.open(path) as f:
            results[i] = b"".join(iter(lambda: f.read(8191), b""))
        with vemk.open(tmp_path / ("%d.copy" % i), "wb") as out:
            out.write(results[i])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(files))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, (path, data) in enumerate(files):
        assert results[i] == data
        assert (tmp_path / ("%d.copy" % i)).read_bytes() == path.read_bytes()
