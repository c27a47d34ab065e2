import hashlib
import os
import random

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CORPUS = os.environ.get("VEMK_CORPUS_DIR", os.path.join(ROOT, "tests", "data", "corpus"))
HASHES = os.path.join(ROOT, "tests", "data", "corpus.vemk.sha256")


def corpus_hashes():
    """(file name, sha256 of the program's compressed file) for every corpus file."""
    with open(HASHES) as f:
        return [(name[: -len(".vemk")], digest) for digest, name in (line.split() for line in f if line.strip())]


def corpus_bytes(name):
    with open(os.path.join(CORPUS, name), "rb") as f:
        return f.read()


def sha256(data):
    return hashlib.sha256(data).hexdigest()


@pytest.fixture
def rng(request):
    """A seeded generator; the seed is printed so that a failure can be replayed (VEMK_SEED)."""
    seed = int(os.environ.get("VEMK_SEED", random.randrange(2**32)))
    print("%s: seed %d" % (request.node.name, seed))
    return random.Random(seed)


def samples():
    """Inputs of every shape the incremental and file tests run over: name, bytes."""
    return [
        ("empty", b""),
        ("one byte", b"x"),
        ("one value", b"a" * 70000),
        ("text", corpus_bytes("alice29.txt")),
        ("binary", corpus_bytes("kennedy.xls")[:200000]),
        ("random", random.Random(7).randbytes(100000)),
    ]
