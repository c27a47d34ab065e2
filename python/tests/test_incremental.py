import threading

import pytest

import vemk
from conftest import samples
from test_oneshot import DAMAGED


def pieces(data, rng, largest):
    at = 0
    while at < len(data):
        size = rng.randint(0, largest)
        yield data[at : at + size]
        at += size


def restore_in_pieces(packed, rng, largest_piece, largest_output):
    """Restores packed through one VemkDecompressor in uneven pieces, each
    call limited to a random max_length (or none): the output and the object."""
    d = vemk.VemkDecompressor()
    out = []
    for piece in pieces(packed, rng, largest_piece):
        limit = rng.choice([-1, rng.randint(0, largest_output)])
        out.append(d.decompress(piece, limit))
        assert limit < 0 or len(out[-1]) <= limit
        while not d.eof and not d.needs_input:
            out.append(d.decompress(b"", rng.randint(1, largest_output)))
        if d.eof:
            break
    if not d.eof:
        out.append(d.flush())
    return b"".join(out), d


@pytest.mark.parametrize("name,data", samples(), ids=[s[0] for s in samples()])
def test_decompressor_in_uneven_pieces_with_max_length(name, data, rng):
    packed = vemk.compress(data)
    for largest_piece, largest_output in [(1, 7), (600, 600), (70000, 100), (5000, 1 << 20)]:
        out, d = restore_in_pieces(packed, rng, largest_piece, largest_output)
        assert out == data, (largest_piece, largest_output)
        assert d.eof and not d.needs_input
        # An empty file is whole after its head: the four bytes of its coded stream may be left unused.
        assert d.unused_data == b"" or (not data and packed.endswith(d.unused_data))
        with pytest.raises(EOFError):
            d.decompress(b"x")
        assert d.flush() == b""


@pytest.mark.parametrize("name,data", samples(), ids=[s[0] for s in samples()])
def test_compressor_in_uneven_pieces_gives_the_one_shot_file(name, data, rng):
    c = vemk.VemkCompressor()
    for piece in pieces(data, rng, 30000):
        assert c.compress(memoryview(piece)) == b""
    assert c.flush() == vemk.compress(data)
    with pytest.raises(ValueError):
        c.compress(b"more")
    with pytest.raises(ValueError):
        c.flush()


def test_unused_data_is_what_follows_the_stream(rng):
    data = samples()[3][1]
    packed = vemk.compress(data)
    for trailer in [b"", b"x", b"\x00" * 700, vemk.compress(b"second file")]:
        whole = vemk.VemkDecompressor()
        assert whole.decompress(packed + trailer) == data
        assert whole.eof and whole.unused_data == trailer
        out, d = restore_in_pieces(packed + trailer, rng, 3000, 50000)
        if trailer:
            assert not d.needs_input
            assert d.unused_data == (packed + trailer)[len(packed):][: len(d.unused_data)]
        assert out == data and d.eof


@pytest.mark.parametrize("data,result,message", [d[1:] for d in DAMAGED], ids=[d[0] for d in DAMAGED])
def test_decompressor_gives_the_one_shot_result(data, result, message, rng):
    for largest in (1, 100, len(data)):
        d = vemk.VemkDecompressor()
        with pytest.raises(vemk.VemkError) as caught:
            for piece in pieces(data, rng, largest):
                d.decompress(piece)
            d.flush()
        assert (caught.value.result, str(caught.value)) == (result, message)
        with pytest.raises(vemk.VemkError) as again:
            d.flush()
        assert again.value.result == result


@pytest.mark.parametrize("data", [b"", b"\x00\x00\x00\x00", b"\x00" * 515, b"\x00" * 516])
def test_heads_shorter_than_their_table_read_as_padded(data):
    d = vemk.VemkDecompressor()
    assert d.decompress(data) == b""
    assert d.flush() == b"" and d.eof
    assert vemk.decompress(data) == b""


def test_decompressor_takes_no_arguments_and_no_str():
    with pytest.raises(TypeError):
        vemk.VemkDecompressor(1)
    with pytest.raises(TypeError):
        vemk.VemkDecompressor().decompress("text")


def test_one_decompressor_shared_by_two_threads_is_taken_in_turn():
    # Sharing one object is not how it is meant to be used, but it must not
    # break: the calls are taken one at a time, so the pieces come out in
    # some order and add up to the whole.
    data = samples()[4][1] * 5
    packed = vemk.compress(data)
    d = vemk.VemkDecompressor()
    d.decompress(packed, 0)
    got = [[], []]

    def work(i):
        try:
            while not d.eof:
                got[i].append(d.decompress(b"", 997))
        except EOFError:  # the other thread took the last piece
            pass

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sum(len(p) for g in got for p in g) == len(data)
