# roundtrip.py FILE...: the same round trip from Python, through ctypes.
import ctypes, sys

vemk = ctypes.CDLL("libvemk.so.0")
vemk.vemk_compress_bound.restype = ctypes.c_size_t
vemk.vemk_compress_bound.argtypes = [ctypes.c_size_t]
vemk.vemk_message.restype = ctypes.c_char_p
vemk.vemk_version.restype = ctypes.c_char_p
buffer_call = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_size_t, ctypes.POINTER(ctypes.c_size_t)]
vemk.vemk_compress.argtypes = vemk.vemk_decompress.argtypes = buffer_call
vemk.vemk_decompressed_size.argtypes = buffer_call[2:]

def check(r):
    if r != 0:
        raise RuntimeError(vemk.vemk_message(r).decode())

def compress(data):
    out, size = ctypes.create_string_buffer(vemk.vemk_compress_bound(len(data))), ctypes.c_size_t()
    check(vemk.vemk_compress(out, len(out), data, len(data), ctypes.byref(size)))
    return out.raw[: size.value]

def decompress(packed):
    n = ctypes.c_size_t()
    check(vemk.vemk_decompressed_size(packed, len(packed), ctypes.byref(n)))
    out = ctypes.create_string_buffer(max(n.value, 1))
    check(vemk.vemk_decompress(out, n.value, packed, len(packed), ctypes.byref(n)))
    return out.raw[: n.value]

print("vemk", vemk.vemk_version().decode())
for name in sys.argv[1:]:
    data = open(name, "rb").read()
    packed = compress(data)
    assert decompress(packed) == data, name
    print(f"{name}: {len(data)} bytes -> {len(packed)} bytes, restored")
