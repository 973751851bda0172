import struct

import numpy as np

import kovra_vector_db as kv


def test_class_docstring():
    assert kv.Fp16FlatIndex.__doc__ == (
        "Float16 quantized brute-force index. 2x less RAM than FlatIndex with >99.5% recall.\n"
        "\n"
        "Vectors are stored as half-precision floats and decoded on-the-fly for distance computation.\n"
        "Same API as FlatIndex."
    )
    assert kv.Fp16FlatIndex.__text_signature__ is None


def test_stored_halves(tmp_path):
    index = kv.Fp16FlatIndex(7)
    index.add(1, [1.0, 0.1, 65504.0, 65520.0, 1e6, -1e-8, 2.0**-24])
    path = tmp_path / "h.bin"
    index.save(str(path))
    raw = path.read_bytes()
    assert raw[:36] == struct.pack("<QIQQQ", 7, 0, 1, 1, 7)
    assert struct.unpack("<7H", raw[36:]) == (0x3C00, 0x2E66, 0x7BFF, 0x7C00, 0x7C00, 0x8000, 0x0001)


def test_distances_use_decoded_halves():
    index = kv.Fp16FlatIndex(1)
    index.add(1, [0.1])
    [hit] = index.search([0.0], 1)
    assert hit["distance"] == 0.0999755859375


def test_nan_is_stored_as_nan():
    index = kv.Fp16FlatIndex(2)
    index.add(1, [float("nan"), 1.0])
    assert np.isnan(index.search([0.0, 0.0], 1)[0]["distance"])
