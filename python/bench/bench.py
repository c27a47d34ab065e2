"""Times the package against the C library on the same buffers in one run.

    python bench.py LIBVEMK_SO INPUT [ROUNDS]

LIBVEMK_SO is the release build's shared library (build/release/libvemk.so.0),
INPUT the file to code (bench/run.sh's corpus50m). Each round runs every
measurement once in a new shuffled order; the figure is the median. The C
library is called through ctypes with a destination malloc'ed at its size for
each call, as the package allocates its bytes object; neither copies the input.
Then two threads compressing (and restoring) at once against the same work done
one after the other; CPU/wall above 1 shows the two coding at the same time.
"""
import ctypes
import random
import statistics
import sys
import threading
import time

import vemk

lib = ctypes.CDLL(sys.argv[1])
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]
libc.free.argtypes = [ctypes.c_void_p]
size_t_p = ctypes.POINTER(ctypes.c_size_t)
lib.vemk_compress_bound.restype = ctypes.c_size_t
lib.vemk_compress_bound.argtypes = [ctypes.c_size_t]
for f in (lib.vemk_compress, lib.vemk_decompress):
    f.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t, size_t_p]

data = open(sys.argv[2], "rb").read()
rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 7
packed = vemk.compress(data)


def c_compress():
    bound = lib.vemk_compress_bound(len(data))
    dst, size = libc.malloc(bound), ctypes.c_size_t()
    assert lib.vemk_compress(dst, bound, data, len(data), ctypes.byref(size)) == 0
    libc.free(dst)


def c_decompress():
    dst, size = libc.malloc(len(data)), ctypes.c_size_t()
    assert lib.vemk_decompress(dst, len(data), packed, len(packed), ctypes.byref(size)) == 0
    libc.free(dst)


def both(work):
    threads = [threading.Thread(target=work) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


runs = {
    "python compress": lambda: vemk.compress(data),
    "C compress": c_compress,
    "python decompress": lambda: vemk.decompress(packed),
    "C decompress": c_decompress,
    "compress twice, one after the other": lambda: (vemk.compress(data), vemk.compress(data)),
    "compress twice, two threads at once": lambda: both(lambda: vemk.compress(data)),
    "decompress twice, one after the other": lambda: (vemk.decompress(packed), vemk.decompress(packed)),
    "decompress twice, two threads at once": lambda: both(lambda: vemk.decompress(packed)),
}
times = {name: [] for name in runs}
cpu = {name: [] for name in runs}
for round in range(rounds + 1):
    for name in random.sample(list(runs), len(runs)):
        start, start_cpu = time.perf_counter(), time.process_time()
        runs[name]()
        if round:  # the first round warms up
            times[name].append(time.perf_counter() - start)
            cpu[name].append(time.process_time() - start_cpu)
median = {name: statistics.median(t) for name, t in times.items()}
print("input %s: %d bytes, compressed %d; %d rounds, median wall time" % (sys.argv[2], len(data), len(packed), rounds))
for name, t in median.items():
    print("  %-40s %8.1f ms  %6.1f MB/s  CPU/wall %.2f" % (
        name, t * 1000, len(data) * (2 if "twice" in name else 1) / t / 1e6, statistics.median(cpu[name]) / t))
for op in ("compress", "decompress"):
    print("python/C %-10s %.3f" % (op, median["python " + op] / median["C " + op]))
    print("two threads/one after the other, %-10s %.3f" % (
        op, median[op + " twice, two threads at once"] / median[op + " twice, one after the other"]))
