import math
import struct

import kovra_vector_db as kv


def test_class_docstring():
    assert kv.BinaryFlatIndex.__doc__ == (
        "Binary (1-bit) quantized brute-force index. 32x less RAM than FlatIndex.\n"
        "\n"
        "Each f32 component is reduced to 1 bit (positive=1, negative=0).\n"
        "Distance is computed via Hamming distance (popcount).\n"
        "Same API as FlatIndex."
    )


def test_bits_and_norm_in_the_file(tmp_path):
    index = kv.BinaryFlatIndex(4)
    index.add(1, [0.5, -0.2, 0.0, -0.0])
    path = tmp_path / "b.bin"
    index.save(str(path))
    raw = path.read_bytes()
    assert raw[:44] == struct.pack("<QIQQQQ", 4, 0, 1, 1, 1, 13)
    (norm,) = struct.unpack("<f", raw[44:])
    assert norm == struct.unpack("<f", struct.pack("<f", math.sqrt(0.29)))[0] or abs(norm - math.sqrt(0.29)) < 1e-6


def test_hamming_and_dot_estimates():
    index = kv.BinaryFlatIndex(8)
    v = [1.0, -1.0] * 4
    index.add(1, v)
    assert index.search(v, 1)[0]["distance"] == 0.0
    assert index.search([-x for x in v], 1)[0]["distance"] == 1.0
    assert index.search([1.0, -1.0, 1.0, 1.0, 1.0, -1.0, 1.0, -1.0], 1)[0]["distance"] == 0.125
    dot = kv.BinaryFlatIndex(2, "dot_product")
    dot.add(1, [3.0, 4.0])
    assert dot.search([3.0, 4.0], 1)[0]["distance"] == -25.0
    assert dot.search([-3.0, -4.0], 1)[0]["distance"] == 25.0


def test_sixty_five_dimensions_use_two_words(tmp_path):
    index = kv.BinaryFlatIndex(65)
    index.add(1, [-1.0] * 64 + [1.0])
    path = tmp_path / "b65.bin"
    index.save(str(path))
    raw = path.read_bytes()
    assert struct.unpack("<QQQ", raw[28:52]) == (2, 0, 1)
