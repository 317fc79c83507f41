"""Lumivar, the detector, in process: the saliency map and the salient
locations of one trained class in images given as files or NumPy arrays.

    import lumivar
    model = lumivar.Model("model", 1)
    result = model.detect("query.jpg")      # or a 2-D array
    result.map, result.locations

The numbers are the program's for the same model, image and options: the
map equals what ``Lumivar -v`` writes as NAME_sm.dat, the locations what it
writes as NAME_salloc. Messages go to ``logging.getLogger("lumivar")``.
"""
import numpy as np

from sendral import Error, _native  # noqa: F401

__all__ = ["Error", "Model", "Result", "read_image"]


def read_image(path, depth=1):
    """The grey samples (float64) of an image file as the programs read it,
    cropped to multiples of 2**(depth-1)."""
    return _native.read_image(str(path), int(depth))


def _as_grey(image, name="image"):
    """A C-contiguous float64 2-D array of samples 0..1 from an array-like:
    uint8 and uint16 are scaled as ImageMagick scales them, floats kept."""
    a = np.asarray(image)
    if a.ndim != 2:
        raise Error(f"{name}: a grey image must be a 2-D array, not of shape {a.shape}")
    if a.dtype in (np.uint8, np.uint16):
        # As the programs read a grey file: ImageMagick holds 16-bit samples
        # (an 8-bit v as 257 v) and takes the Rec. 709 luma of R = G = B, in
        # this order, to the last bit.
        q = a.astype(np.float64) * (257.0 if a.dtype == np.uint8 else 1.0)
        a = (0.212656 * q + 0.715158 * q + 0.072186 * q) * (1.0 / 65535.0)
    elif a.dtype.kind == "f":
        a = a.astype(np.float64, copy=False)
    else:
        raise Error(f"{name}: samples must be uint8, uint16 or float, not {a.dtype}")
    return np.ascontiguousarray(a)


def _item(image):
    if isinstance(image, (str, bytes)) or hasattr(image, "__fspath__"):
        return str(image if not isinstance(image, bytes) else image.decode())
    return _as_grey(image)


class Result:
    """One detection: ``map`` (float64, rows x cols), ``locations`` (N x 4:
    row, column, radius, saliency, in the order of NAME_salloc) and
    ``scale_map`` (float64 or None)."""

    def __init__(self, model, map, locations, scale_map):
        self._model = model
        self.map = map
        self.locations = locations
        self.scale_map = scale_map

    def picture(self, circles=5):
        """PNG bytes: the map scaled to its maximum, the first locations circled."""
        return self._model.picture(self.map, self.locations, int(circles))

    def _repr_png_(self):
        return self.picture()

    def __repr__(self):
        return (f"<lumivar.Result map {self.map.shape[0]}x{self.map.shape[1]}, "
                f"{len(self.locations)} locations>")


class Model:
    """The trained model of one class, as Lumivar loads it (``-f``, ``-m``,
    ``-enforce``, ``--learned``, ``--smooth``). Safe to use from several
    threads at once.

    learned: use the weights, transform and smoothing that ``Sendral --boxes``
    fitted for the class (learned_class_<j>); smooth: Gaussian sigma in
    pixels applied to the map before the search (None: the learned one with
    learned=True, else none; 0: none)."""

    def __init__(self, result_dir, class_index, features=5, map_kind=0, enforce=False,
                 learned=False, smooth=None):
        if smooth is not None and not float(smooth) >= 0:
            raise Error(f"smooth must be a number of pixels, 0 or more, not {smooth!r}")
        self._m = _native.Model(str(result_dir), int(class_index), int(features), int(map_kind),
                                bool(enforce), bool(learned),
                                -1.0 if smooth is None else float(smooth))

    @property
    def depth(self):
        return self._m.depth

    @property
    def features(self):
        return self._m.features

    def detect(self, image, nowta=False, scale_map=False):
        """One image: a path, or a 2-D grey array (uint8, uint16 or float 0..1)."""
        return Result(self._m, *self._m.detect(_item(image), bool(nowta), bool(scale_map)))

    def detect_many(self, images, threads=1, nowta=False, scale_map=False, progress=None):
        """Every image, on `threads` threads, results in list order. The
        first image that fails raises (after the others are done)."""
        items = [_item(i) for i in images]
        out = self._m.detect_many(items, int(threads), bool(nowta), bool(scale_map), progress)
        return [Result(self._m, *r) for r in out]
