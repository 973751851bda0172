# The extension module inside the package; the package re-exports every name.
from . import (
    BinaryFlatIndex as BinaryFlatIndex,
    Client as Client,
    Collection as Collection,
    FlatIndex as FlatIndex,
    Fp16FlatIndex as Fp16FlatIndex,
    HnswIndex as HnswIndex,
    IvfIndex as IvfIndex,
    IvfPqIndex as IvfPqIndex,
    MmapFlatIndex as MmapFlatIndex,
    QuantizedFlatIndex as QuantizedFlatIndex,
)
from . import __all__ as __all__
