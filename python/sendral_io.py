"""The datfile reader and writer under its old name: ``sendral.io``."""
import os
import sys

try:
    from sendral import io as _io
except ImportError:  # run from the source tree
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from sendral import io as _io

globals().update({k: v for k, v in vars(_io).items() if not k.startswith("__")})
__all__ = _io.__all__
__doc__ = _io.__doc__
