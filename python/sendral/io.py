"""Reading and writing the files Sendral and Lumivar exchange.

A datfile is a directory holding a text header, ``descriptor``, and the raw
elements, ``data``: a row-major array over data sets, channels and one to
ten dimensions, the last varying fastest. The header is a list of
``(key value)`` entries; ``_data_type``, ``_byte_order``, ``_data_sets``,
``_channels`` and ``_dimensions`` say how to read ``data``. The header is
parsed here exactly as the C++ library parses it, so a file reads the same
in both.

    import sendral.io as sio
    model = sio.read_model("model")            # dict of matrices and lists
    locs = sio.read_locations("out/q00_salloc")  # rows: row, col, radius, saliency
    sm = sio.read_dat("out/q00_sm.dat")
"""
import os
import re
import shutil
import stat
import sys
import tempfile

import numpy as np

__all__ = ["DatError", "read_dat", "write_dat", "read_descriptor", "read_locations",
           "read_features", "read_model", "read_record", "find_record", "image_stem", "TYPES",
           "RESULT_FILES", "FORMAT_VERSION", "result_name", "result_file_named", "read_format",
           "check_format"]


class DatError(ValueError):
    """A file that cannot be read as what it should be; the message names it."""


# name -> (element dtype, element size); fixed-point types are integers
# holding value * 256 (or * 65536) and read as doubles.
TYPES = {
    "ascii": ("i1", 1), "variant": ("u1", 1), "signed_1": ("i1", 1),
    "signed_2": ("i2", 2), "signed_4": ("i4", 4), "unsigned_1": ("u1", 1),
    "unsigned_2": ("u2", 2), "unsigned_4": ("u4", 4), "float": ("f4", 4),
    "double": ("f8", 8), "complex": ("c8", 8), "double_complex": ("c16", 16),
    "fixed_point_2": ("i2", 2), "fixed_point_4": ("i4", 4),
}
FIXED_SCALE = {"fixed_point_2": 256.0, "fixed_point_4": 65536.0}

# NumPy dtype -> stored type name when writing without an explicit type.
_WRITE_TYPES = {
    "f8": "double", "f4": "float", "i1": "signed_1", "u1": "unsigned_1", "b1": "unsigned_1",
    "i2": "signed_2", "u2": "unsigned_2", "i4": "signed_4", "u4": "unsigned_4",
    "c8": "complex", "c16": "double_complex",
}
_INT_RANGE = {"i1": (-128, 127), "u1": (0, 255), "i2": (-32768, 32767), "u2": (0, 65535),
              "i4": (-2147483648, 2147483647), "u4": (0, 4294967295)}
_INT32_MAX = 2147483647
_WHITE = " \t\n\v\f\r"
_MACHINE = "lsb" if sys.byteorder == "little" else "msb"
# A header is a few lines of text; a larger descriptor is refused unread.
MAX_DESCRIPTOR = 1 << 20


def _open_regular(path):
    """A binary file object for `path`, which must be a regular file: opened
    without blocking (a FIFO would wait for a writer) and refused unless
    regular (a device such as /dev/zero would never end)."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_NOCTTY", 0))
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise DatError(f"{path}: not a regular file")
        os.set_blocking(fd, True)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def parse_descriptor(text):
    """Header entries [(key, value)] in file order, read from descriptor text.

    The library's scanner: "(" opens an entry (even inside a ";" comment);
    the key runs to white space or ")" and is lower-cased; the value runs
    until the brackets balance, a backslash protecting the next character.
    A malformed text ends the scan, keeping the entries read so far, exactly
    as the library does -- so such a file reads here as it does there.
    A value of None means the entry ended before its value began.
    """
    entries = []
    n = len(text)
    i = 0
    comment = False
    while i < n:
        c = text[i]
        i += 1
        if c == "(":
            while i < n and text[i] in _WHITE:
                i += 1
            start = i
            while i < n and text[i] not in _WHITE and text[i] != ")":
                i += 1
            key = "".join(ch.lower() if "A" <= ch <= "Z" else ch for ch in text[start:i])
            if i >= n:
                entries.append((key, None))
                break
            if text[i] == ")":
                entries.append((key, ""))
                i += 1
                continue
            i += 1  # the one white-space character after the key
            value = []
            depth = 1
            closed = False
            while i < n:
                c = text[i]
                i += 1
                if c == "\\":
                    if i >= n:
                        break
                    c = text[i]
                    i += 1
                elif c == "(":
                    depth += 1
                elif c == ")":
                    depth -= 1
                    if depth == 0:
                        closed = True
                        break
                value.append(c)
            entries.append((key, "".join(value)))
            if not closed:
                break
        elif c == ";":
            comment = True
        elif c == "\n":
            comment = False
        elif c in _WHITE:
            pass
        elif not comment:  # a stray ")" or any other character
            break
    return entries


def _getkey(entries, key):
    for k, v in entries:
        if k == key:
            return v
    return None


_LONG_RE = re.compile(r"[ \t\n\v\f\r]*([+-]?[0-9]+)")


def _scan_longs(value, most):
    """Integers read as sscanf("%ld %ld ...") reads them: stop at the first
    failure; out-of-range values saturate to 32 bits as the library holds them."""
    out = []
    pos = 0
    while value is not None and len(out) < most:
        m = _LONG_RE.match(value, pos)
        if not m:
            break
        out.append(max(-2147483648, min(_INT32_MAX, int(m.group(1)))))
        pos = m.end()
    return out


def read_descriptor(path):
    """The header entries of datfile `path` as a list of (key, value)."""
    descr = os.path.join(path, "descriptor")
    if not os.path.isdir(path):
        if os.path.exists(path):
            raise DatError(f"{path}: not a datfile (a datfile is a directory)")
        raise DatError(f"{path}: no such datfile")
    try:
        with _open_regular(descr) as f:
            raw = f.read(MAX_DESCRIPTOR + 1)
    except FileNotFoundError:
        raise DatError(f"{path}: directory is not a datfile (no descriptor)") from None
    except OSError as e:
        raise DatError(f"{descr}: cannot read: {e.strerror}") from None
    if len(raw) > MAX_DESCRIPTOR:
        raise DatError(f"{descr}: larger than {MAX_DESCRIPTOR} bytes: not a datfile header")
    return parse_descriptor(raw.decode("latin-1"))


def _layout(path, entries):
    """(type name, byte order, [sets, channels, dims...]) of a header."""
    tname = _getkey(entries, "_data_type")
    if tname not in TYPES:
        raise DatError(f"{path}: unknown data type {tname!r}" if tname is not None
                       else f"{path}: no data type in descriptor")
    order = _getkey(entries, "_byte_order")
    if order not in ("msb", "lsb"):
        order = _MACHINE  # as the library: read in the machine's order
    sizes = []
    for key in ("_data_sets", "_channels"):
        got = _scan_longs(_getkey(entries, key), 1)
        sizes.append(got[0] if got else 1)
    dims = _scan_longs(_getkey(entries, "_dimensions"), 10)
    if not dims:
        raise DatError(f"{path}: dimensions unknown (no _dimensions in descriptor)")
    sizes += dims
    if any(s <= 0 for s in sizes):
        raise DatError(f"{path}: sizes {sizes[0]} sets, {sizes[1]} channels, dimensions "
                       f"{' '.join(map(str, dims))} must all be positive")
    return tname, order, sizes


def read_dat(path, squeeze=True):
    """The elements of datfile `path` as a NumPy array.

    The shape is the dimensions, preceded by the channels and then the data
    sets when there is more than one of them (all levels with squeeze=False).
    Integer, float and complex types keep their type in native byte order;
    fixed-point types become doubles (stored value / 256 or / 65536), as the
    library reads them; "ascii" reads as signed bytes, "variant" as raw bytes.
    Extra bytes after the elements are ignored, as by the library.
    """
    path = os.fspath(path)
    tname, order, sizes = _layout(path, read_descriptor(path))
    code, size = TYPES[tname]
    count = 1
    for s in sizes:
        count *= s
    if count * size > _INT32_MAX:
        raise DatError(f"{path}: {count} elements of {tname} exceed the 2 GiB the library reads")
    data = os.path.join(path, "data")
    try:
        with _open_regular(data) as f:
            # The size is checked before the elements are given room.
            have = os.fstat(f.fileno()).st_size
            if have < count * size:
                raise DatError(f"{data}: {have} bytes, but the descriptor declares {count} "
                               f"elements of {tname} ({count * size} bytes)")
            raw = f.read(count * size)
    except OSError as e:
        raise DatError(f"{data}: cannot read: {e.strerror}") from None
    if len(raw) < count * size:
        raise DatError(f"{data}: {len(raw)} bytes, but the descriptor declares {count} "
                       f"elements of {tname} ({count * size} bytes)")
    dt = np.dtype(code).newbyteorder("<" if order == "lsb" else ">")
    arr = np.frombuffer(raw, dtype=dt).astype(np.dtype(code).newbyteorder("="))
    if tname in FIXED_SCALE:
        arr = arr / FIXED_SCALE[tname]
    shape = sizes if not squeeze else \
        ([sizes[0]] if sizes[0] > 1 else []) + ([sizes[1]] if sizes[1] > 1 else []) + sizes[2:]
    return arr.reshape(shape)


def _round_half_away(x):
    t = np.trunc(x)
    return np.where(np.abs(x - t) >= 0.5, t + np.sign(x), t)


def _convert(arr, tname):
    """`arr` as stored type `tname`, by the library's rules from doubles:
    integers clamped to their range and rounded half away from zero."""
    code, _ = TYPES[tname]
    if tname in ("complex", "double_complex"):
        return arr.astype(code)
    if np.iscomplexobj(arr):
        arr = arr.real
    if code in ("f4", "f8"):
        return arr.astype(code)
    x = arr.astype(np.float64) * FIXED_SCALE.get(tname, 1.0)
    lo, hi = _INT_RANGE[code]
    x = np.nan_to_num(x, nan=0.0)
    return _round_half_away(np.clip(x, lo, hi)).astype(code)


def write_dat(path, array, type=None, byteorder=None):
    """Writes `array` (1 to 10 dimensions) as datfile `path`.

    The stored type follows the array's dtype (float64 -> double, int16 ->
    signed_2, ...) unless `type` names one of TYPES; values are then
    converted as the library converts doubles. `byteorder` is "lsb" or
    "msb", the machine's by default. The descriptor is the one the library
    writes for a matrix. An existing datfile or plain file at `path` is
    replaced only once the new one is complete.
    """
    path = os.fspath(path)
    arr = np.asarray(array)
    if arr.ndim < 1 or arr.ndim > 10:
        raise DatError(f"{path}: an array of {arr.ndim} dimensions cannot be stored (1 to 10)")
    if arr.size == 0:
        raise DatError(f"{path}: an empty array cannot be stored")
    if type is None:
        key = "b1" if arr.dtype == np.bool_ else arr.dtype.kind + str(arr.dtype.itemsize)
        type = _WRITE_TYPES.get(key)
        if type is None:
            raise DatError(f"{path}: no datfile type for {arr.dtype}; convert the array "
                           f"(e.g. astype(float)) or pass type=")
    elif type not in TYPES or type == "variant":
        raise DatError(f"{path}: cannot write data type {type!r}")
    order = byteorder or _MACHINE
    if order not in ("msb", "lsb"):
        raise DatError(f"{path}: byte order must be 'msb' or 'lsb', not {order!r}")
    code, size = TYPES[type]
    if arr.size * size > _INT32_MAX:
        raise DatError(f"{path}: {arr.size} elements exceed the 2 GiB the library reads")
    stored = _convert(arr, type).astype(np.dtype(code).newbyteorder("<" if order == "lsb" else ">"))
    lines = [f"(_data_type {type})"]
    if size > 1:
        lines.append(f"(_byte_order {order})")
    lines += ["(_data_sets 1)", "(_channels 1)",
              "(_dimensions " + "".join(f"{d} " for d in arr.shape) + ")"]

    if os.path.isdir(path) and not os.path.exists(os.path.join(path, "descriptor")):
        raise DatError(f"{path}: directory exists and is not a datfile; not replaced")
    parent = os.path.dirname(os.path.abspath(path))
    try:
        tmp = tempfile.mkdtemp(prefix=".dat-", dir=parent)
    except OSError as e:
        raise DatError(f"{path}: cannot create: {e.strerror}") from None
    try:
        with open(os.path.join(tmp, "descriptor"), "w", encoding="ascii") as f:
            f.write("\n".join(lines) + "\n")
        with open(os.path.join(tmp, "data"), "wb") as f:
            f.write(np.ascontiguousarray(stored).tobytes())
        os.chmod(tmp, 0o777 & ~_umask())
        if os.path.isdir(path):
            shutil.rmtree(path)
        elif os.path.lexists(path):
            os.remove(path)
        os.rename(tmp, path)
    except OSError as e:
        shutil.rmtree(tmp, ignore_errors=True)
        raise DatError(f"{path}: cannot write: {e.strerror}") from None


def _umask():
    m = os.umask(0)
    os.umask(m)
    return m


def _read_rows(path, kinds, what):
    """Whitespace-separated numeric rows, one per non-blank line."""
    try:
        with open(path, encoding="latin-1") as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        raise DatError(f"{path}: no such {what}") from None
    except OSError as e:
        raise DatError(f"{path}: cannot read: {e.strerror}") from None
    rows = []
    for no, line in enumerate(lines, 1):
        fields = line.split()
        if not fields:
            continue
        try:
            if len(fields) != len(kinds):
                raise ValueError
            rows.append([k(v) for k, v in zip(kinds, fields)])
        except ValueError:
            raise DatError(f"{path}:{no}: expected {len(kinds)} numbers, got {line!r}") from None
    return np.array(rows, dtype=float).reshape(-1, len(kinds))


def read_locations(path):
    """A NAME_salloc file as an N x 4 array: row, column, radius, saliency."""
    return _read_rows(os.fspath(path), (int, int, int, float), "location file")


def read_features(path):
    """A Qor_class_<j> file as an F x 4 array: cost, score, level, index."""
    return _read_rows(os.fspath(path), (float, float, int, int), "class feature file")


def _read_ints(path):
    try:
        with open(path, encoding="latin-1") as f:
            text = f.read()
    except FileNotFoundError:
        raise DatError(f"{path}: missing from the result directory") from None
    try:
        return [int(t) for t in text.split()]
    except ValueError:
        raise DatError(f"{path}: expected whole numbers, got {text[:40]!r}") from None


# The entries of a result directory and of a shard folder, row for row the
# table of common/resultschema.cpp: id -> (name, kind, in a model, in a
# shard), where <depth> and <j> stand for the depth and a class index and
# "always", "optional" or "never" say where the entry lies.
RESULT_FILES = {
    "allmnt": ("Allmnt<depth>.dat", "dat", "always", "always"),
    "allalpha": ("Allalpha.dat", "dat", "always", "never"),
    "allbeta": ("Allbeta.dat", "dat", "always", "never"),
    "classmd": ("classMD.dat", "dat", "always", "never"),
    "standvar": ("StandVar.dat", "dat", "always", "never"),
    "sortmds": ("sortMDs.dat", "dat", "always", "never"),
    "sortcosts": ("sortCosts.dat", "dat", "always", "never"),
    "sortidx": ("sortidx.dat", "dat", "always", "never"),
    "pyddepth": ("pyddepth", "text", "always", "never"),
    "salientfeaturenum": ("salientfeaturenum", "text", "always", "never"),
    "qor_class": ("Qor_class_<j>", "text", "always", "never"),
    "timeusage": ("timeusage", "text", "always", "never"),
    "learned_class": ("learned_class_<j>", "text", "optional", "never"),
    "imgnum": ("imgnum", "text", "optional", "always"),
    "shard": ("shard", "text", "never", "always"),
    "format": ("format", "text", "always", "always"),
}
# The format a directory says it holds in its entry "format" (the number and
# a line end; absent: 1), and the newest one read here.
FORMAT_VERSION = 1
_FORMAT_MOST = 32
_NUMBER = re.compile(r"<depth>|<j>")


def result_name(key, number=None):
    """The name of entry `key` of RESULT_FILES; `number` is the depth or the
    class index where the name holds one."""
    return _NUMBER.sub(str(number), RESULT_FILES[key][0])


def result_file_named(name):
    """(key, number or None) of the entry of RESULT_FILES that `name` is, or None."""
    for key, (pattern, *_) in RESULT_FILES.items():
        parts = _NUMBER.split(pattern)
        if len(parts) == 1:
            if name == pattern:
                return key, None
            continue
        head, tail = parts
        mid = name[len(head):len(name) - len(tail)]
        if (len(name) > len(head) + len(tail) and name.startswith(head) and name.endswith(tail)
                and mid.isascii() and mid.isdigit() and len(mid) <= 9
                and (mid == "0" or mid[0] != "0")):
            return key, int(mid)
    return None


def read_format(result_dir):
    """The format version `result_dir` says it holds: 1 without the entry,
    0 when the entry names no version."""
    return _read_format(os.fspath(result_dir))[0]


def _read_format(result_dir):
    path = os.path.join(result_dir, result_name("format"))
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except FileNotFoundError:
        return 1, ""
    except OSError:
        return 0, ""
    try:
        raw = os.read(fd, _FORMAT_MOST + 1)
    except OSError:
        return 0, ""
    finally:
        os.close(fd)
    text = raw.decode("latin-1")
    number = text.rstrip("\n")
    if len(raw) > _FORMAT_MOST or not (number.isdigit() and number.isascii()) or len(number) > 9:
        return 0, text
    return int(number), text


def check_format(result_dir, what="Result directory"):
    """Raises DatError, as the programs refuse it, when `result_dir` holds a
    format newer than FORMAT_VERSION or its entry names no version."""
    result_dir = os.fspath(result_dir)
    version, text = _read_format(result_dir)
    if 1 <= version <= FORMAT_VERSION:
        return
    if version > FORMAT_VERSION:
        raise DatError(f"{what} {result_dir} holds result format {version}, newer than format "
                       f"{FORMAT_VERSION}, the newest that this sendral.io reads; use the version "
                       f"that wrote it")
    shown = text[:16].replace("\n", " ")
    raise DatError(f'{what} {result_dir} has a format entry that names no format version '
                   f'("{shown}")')


def read_model(result_dir):
    """Everything a Sendral result directory holds, as a dict.

    Every ``NAME.dat`` as ``model[NAME]`` (e.g. "Allalpha", "Allmnt4"),
    ``model["Qor_class"]`` the list of per-class feature arrays (rows cost,
    score, level, index; list index = class), ``model["pyddepth"]`` (int) and
    ``model["salientfeaturenum"]`` (list of int, one per class).
    """
    result_dir = os.fspath(result_dir)
    if not os.path.isdir(result_dir):
        raise DatError(f"{result_dir}: no such result directory")
    check_format(result_dir)
    model = {}
    names = sorted(os.listdir(result_dir))
    for name in names:
        if name.endswith(".dat"):
            model[name[:-4]] = read_dat(os.path.join(result_dir, name))
    depthfile = os.path.join(result_dir, result_name("pyddepth"))
    depth = _read_ints(depthfile)
    if len(depth) != 1:
        raise DatError(f"{depthfile}: expected one number")
    model["pyddepth"] = depth[0]
    model["salientfeaturenum"] = _read_ints(os.path.join(result_dir,
                                                         result_name("salientfeaturenum")))
    classes = sorted(j for key, j in filter(None, map(result_file_named, names))
                     if key == "qor_class")
    if classes != list(range(len(classes))):
        missing = min(set(range(len(classes) + 1)) - set(classes))
        raise DatError(f"{os.path.join(result_dir, result_name('qor_class', missing))}: missing "
                       f"(the classes are numbered from 0 without gaps)")
    model["Qor_class"] = [read_features(os.path.join(result_dir, result_name("qor_class", j)))
                          for j in classes]
    return model


IMAGE_SUFFIXES = (".jpg", ".jpeg", ".png", ".gif", ".tif", ".tiff", ".bmp", ".pgm", ".ppm", ".pnm")


def image_stem(name):
    """The base name Lumivar gives an image's outputs: after the last "/",
    up to the last "." ("demo/query/q00.jpg" -> "q00"). A name without a
    folder or an image suffix is taken as a stem already."""
    if "/" not in name and not name.lower().endswith(IMAGE_SUFFIXES):
        return name
    base = name.rsplit("/", 1)[-1]
    return base.rsplit(".", 1)[0] if "." in base else base


def read_record(path):
    """A run record that ``--json FILE`` wrote, as a dict; DatError when it
    is not one."""
    import json
    path = os.fspath(path)
    try:
        with open(path, encoding="utf-8") as f:
            rec = json.load(f)
    except OSError as e:
        raise DatError(f"{path}: cannot read: {e.strerror}") from None
    except ValueError as e:
        raise DatError(f"{path}: not a run record: {e}") from None
    if not isinstance(rec, dict) or rec.get("program") not in ("Lumivar", "Sendral"):
        raise DatError(f"{path}: not a run record of Sendral or Lumivar")
    return rec


def find_record(outdir):
    """(path, record) of the newest Lumivar record kept in `outdir` (where
    ``Lumivar --json OUTDIR/run.json ...`` puts it), or (None, None)."""
    outdir = os.fspath(outdir)
    found = []
    for name in os.listdir(outdir):
        if not name.endswith(".json"):
            continue
        path = os.path.join(outdir, name)
        try:
            rec = read_record(path)
        except DatError:
            continue
        if rec.get("program") == "Lumivar":
            found.append((os.path.getmtime(path), path, rec))
    if not found:
        return None, None
    _, path, rec = max(found)
    return path, rec
