"""In-process detection against the program (not a test): CPU time per
1024x768 image of lumivar.Model.detect on an array and on the file, beside
Lumivar's own per-image CPU time at -j 1 over the same 20 images (medians of
repeated runs; the program's figure includes reading and writing files).

    PYTHONPATH=BUILD/python /usr/bin/python3 bench_python_detect.py BUILD/detector/Lumivar
"""
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import lumivar
import sendral.io as sio


def picture(h, w, seed):
    """Textured grey picture with a few bright discs, as 8-bit samples."""
    rng = np.random.default_rng(seed)
    i, j = np.mgrid[0:h, 0:w]
    m = 0.5 + 0.15 * np.sin(i * 0.05) * np.cos(j * 0.07) + 0.2 * (rng.random((h, w)) - 0.5)
    for d in range(6):
        r, c, rad = (100 + 100 * d + seed * 37) % h, (150 + 130 * d + seed * 53) % w, 12 + 4 * d
        m[(i - r) ** 2 + (j - c) ** 2 <= rad * rad] = 0.95
    return np.clip(np.rint(m * 255), 0, 255).astype(np.uint8)


def write_model(d):
    """Two classes at depth 4; class 1's five best features on levels 0, 1, 1, 2, 3."""
    os.makedirs(d)
    alpha = np.full((256, 2), 0.1)
    alpha[:, 1] = 0.2
    sio.write_dat(f"{d}/Allalpha.dat", alpha)
    sio.write_dat(f"{d}/Allbeta.dat", np.ones((256, 2)))
    with open(f"{d}/pyddepth", "w") as f:
        f.write("4")
    with open(f"{d}/salientfeaturenum", "w") as f:
        f.write("5\n5\n")
    first = [(0, 4), (1, 1), (1, 9), (2, 2), (3, 5)]
    with open(f"{d}/Qor_class_1", "w") as f:
        for i in range(64):
            level, index = first[i] if i < 5 else (i % 4, 1 + (i * 7) % 63)
            f.write(f"{(64 - i) / 64.0:f}\t{1.0 + i:f}\t{level}\t{index}\n")


def child_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def main():
    program = sys.argv[1]
    work = tempfile.mkdtemp(prefix="bench_python_detect.")
    try:
        write_model(f"{work}/model")
        images = [picture(768, 1024, q) for q in range(20)]
        names = []
        for q, a in enumerate(images):
            names.append(f"{work}/q{q}.pgm")
            with open(names[-1], "wb") as f:
                f.write(b"P5 1024 768 255\n" + a.tobytes())
        with open(f"{work}/queries.txt", "w") as f:
            f.write("\n".join(names) + "\n")

        model = lumivar.Model(f"{work}/model", 1)
        grey = [lumivar._as_grey(a) for a in images]
        program_ms, array_ms, file_ms = [], [], []
        for rep in range(5):  # alternating, as the host's speed drifts
            shutil.rmtree(f"{work}/out", ignore_errors=True)
            before = child_cpu()
            subprocess.run([program, "-j", "1", f"{work}/model", "1", f"{work}/queries.txt",
                            f"{work}/out"], check=True, capture_output=True)
            program_ms.append((child_cpu() - before) * 1000 / len(names))
            for g, name in zip(grey, names):
                t = time.process_time()
                model.detect(g)
                array_ms.append((time.process_time() - t) * 1000)
                t = time.process_time()
                model.detect(name)
                file_ms.append((time.process_time() - t) * 1000)
        p, a, f = (statistics.median(v) for v in (program_ms, array_ms, file_ms))
        print(f"Lumivar -j 1, CPU per image (with its file outputs): {p:7.1f} ms")
        print(f"lumivar.Model.detect on an array, CPU per image:     {a:7.1f} ms "
              f"({100 * a / p:.0f} % of the program's)")
        print(f"lumivar.Model.detect on the file, CPU per image:     {f:7.1f} ms "
              f"({100 * f / p:.0f} % of the program's)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
