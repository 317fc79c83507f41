"""Files written whole under their names, as the programs write theirs: into
a new temporary file in the same folder, then renamed over the name. A
reader never sees half a file, a failed write leaves the old one, and a
symbolic link planted at the name is replaced rather than followed (what it
points to is not touched)."""
import contextlib
import os
import tempfile


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


@contextlib.contextmanager
def replaced(path, mode="w", **kwargs):
    """Opens a new file beside `path` (open()'s `mode` and keywords); when the
    block ends without an error it is renamed over `path`, else removed."""
    folder, base = os.path.split(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=folder, prefix="." + base[:100] + ".", suffix=".tmp")
    try:
        with os.fdopen(fd, mode, **kwargs) as f:
            yield f
        # mkstemp's file is private; the result is one like open() makes.
        os.chmod(tmp, 0o666 & ~_umask())
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def real_folder(path):
    """Makes `path` a folder of its own: a symbolic link there is replaced by
    a new folder, so that what is written into it stays here."""
    if os.path.islink(path):
        os.unlink(path)
    os.makedirs(path, exist_ok=True)
    return path
