#!/usr/bin/python3
"""Makes the list files Sendral and Lumivar read from one folder per class.

    sendral-lists [--out DIR] [--query QUERYDIR] CLASSDIR [CLASSDIR ...]

The first CLASSDIR is class 0, the background; each further one is an
object class, numbered in the order given. For every class it writes
DIR/class<j>_<folder>.txt, naming the folder's image files (JPEG, PNG, GIF,
TIFF, BMP, PNM, by suffix, in name order) with absolute paths, and
DIR/train.txt, the training list naming those lists; with --query, also
DIR/query.txt. Lists made this way work from any folder. DIR defaults to
"lists". Prints the commands to train and detect with them.
"""
import argparse
import os
import shlex
import sys

try:
    from sendral.safewrite import replaced
except ImportError:  # run from the source tree
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from sendral.safewrite import replaced

SUFFIXES = (".jpg", ".jpeg", ".png", ".gif", ".tif", ".tiff", ".bmp", ".pgm", ".ppm", ".pnm")


def images_in(folder):
    """The image files directly in `folder`, absolute, in name order."""
    names = sorted(n for n in os.listdir(folder)
                   if n.lower().endswith(SUFFIXES) and os.path.isfile(os.path.join(folder, n)))
    return [os.path.abspath(os.path.join(folder, n)) for n in names]


def write_list(path, names):
    # A white space would split a name in two when the list is read.
    for n in names:
        if any(c.isspace() for c in n):
            raise ValueError(f"{n}: a name in a list cannot hold white space; rename the file")
    with replaced(path, encoding="utf-8") as f:
        f.write("".join(n + "\n" for n in names))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("classdirs", nargs="+", metavar="CLASSDIR",
                    help="one folder of images per class, the background first")
    ap.add_argument("--out", default="lists", help="where the lists go (default: %(default)s)")
    ap.add_argument("--query", metavar="QUERYDIR", help="a folder of query images")
    a = ap.parse_args(argv)
    if len(a.classdirs) < 2:
        print("sendral-lists: give the background folder and at least one object folder",
              file=sys.stderr)
        return 2
    try:
        os.makedirs(a.out, exist_ok=True)
        lists = []
        for j, d in enumerate(a.classdirs):
            if not os.path.isdir(d):
                raise ValueError(f"{d}: no such folder")
            names = images_in(d)
            if not names:
                raise ValueError(f"{d}: no image file (JPEG, PNG, GIF, TIFF, BMP or PNM) in it")
            label = os.path.basename(os.path.normpath(os.path.abspath(d))) or f"class{j}"
            path = os.path.abspath(os.path.join(a.out, f"class{j}_{label}.txt"))
            write_list(path, names)
            lists.append(path)
            print(f"class {j}: {len(names):4d} images of {d} -> {path}")
        train = os.path.abspath(os.path.join(a.out, "train.txt"))
        write_list(train, lists)
        print(f"training list: {train}")
        query = None
        if a.query:
            if not os.path.isdir(a.query):
                raise ValueError(f"{a.query}: no such folder")
            names = images_in(a.query)
            if not names:
                raise ValueError(f"{a.query}: no image file in it")
            query = os.path.abspath(os.path.join(a.out, "query.txt"))
            write_list(query, names)
            print(f"query list: {query} ({len(names)} images)")
    except (OSError, ValueError) as e:
        print(f"sendral-lists: {e}", file=sys.stderr)
        return 1
    print("\nNext:")
    print(f"  Sendral {shlex.quote(train)} 2 model")
    q = shlex.quote(query) if query else "query.txt"
    print(f"  Lumivar -f 12 model 1 {q} detections")
    return 0


if __name__ == "__main__":
    sys.exit(main())
