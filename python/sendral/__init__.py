"""Sendral, the trainer, in process: train a result directory from images
given as files or as NumPy arrays, and read result directories back.

    import sendral
    model = sendral.train([background_images, coin_images], depth=2, out="model")

``sendral.io`` reads and writes the files the programs exchange (it needs
only NumPy). Messages of the library go to ``logging.getLogger("sendral")``.
"""
from . import io  # noqa: F401

try:
    from . import _native
except ImportError as e:  # sendral.io still works without the compiled part
    _native = None
    _native_error = e

__all__ = ["Error", "train", "refit", "io", "__version__"]

if _native is not None:
    Error = _native.Error
    __version__ = _native.version()
else:
    class Error(RuntimeError):
        """A failure of the library: the message names the file and the cause."""
    __version__ = "unknown"


def _images(images, j):
    from lumivar import _as_grey
    out = []
    for i, item in enumerate(images):
        if isinstance(item, (str, bytes)) or hasattr(item, "__fspath__"):
            out.append(str(item if not isinstance(item, bytes) else item.decode()))
        else:
            out.append(_as_grey(item, f"image {i} of class {j}"))
    return out


def train(classes, depth, out, exbfea=False, nodenoise=False, threads=1, progress=None,
          boxes=None):
    """Trains as ``Sendral [-exBfea] [-nodenoise] -j threads [--boxes boxes]``
    would and returns the result directory read with ``sendral.io.read_model``.

    classes: a list (class 0, the background, first) of image lists; each
    image a path or a 2-D grey array (uint8, uint16 or float in 0..1).
    progress: called as progress(done, total) after every image.
    boxes: a box file (lines entry,top,bottom,left,right; entries the image
    paths as given, or their file names) to fit learned weights from, for
    ``lumivar.Model(..., learned=True)``.
    The directory ``out`` gets the same bytes as the program writes from the
    same images and options (``timeusage`` aside).
    """
    if _native is None:
        raise ImportError(f"sendral.train needs the compiled module: {_native_error}")
    classes = [_images(c, j) for j, c in enumerate(classes)]
    _native.train(classes, int(depth), str(out), bool(exbfea), bool(nodenoise), int(threads),
                  progress, "" if boxes is None else str(boxes))
    return io.read_model(out)


def refit(out, depth, exbfea=False, nodenoise=False):
    """Fits and ranks again from the class moments a training left in
    ``out`` (``Allmnt<depth>.dat``), as ``Sendral -fast`` does, with other
    options and without reading an image; returns the directory read back."""
    if _native is None:
        raise ImportError(f"sendral.refit needs the compiled module: {_native_error}")
    _native.refit(str(out), int(depth), bool(exbfea), bool(nodenoise))
    return io.read_model(out)
