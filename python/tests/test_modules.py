"""The packages sendral and lumivar against the programs: the same maps,
locations and result directories, errors that leave the interpreter
running, and threads that do not change a bit.
    PYTHONPATH=BUILD/python /usr/bin/python3 test_modules.py SENDRAL LUMIVAR SOURCE_DIR"""
import filecmp
import logging
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

import numpy as np

import lumivar
import sendral
import sendral.io as sio

SENDRAL = LUMIVAR = SRC = None
DEPTH = 2


def absolute_list(src_list, dst_list, count=None):
    with open(os.path.join(SRC, src_list)) as f:
        names = f.read().split()[:count]
    with open(dst_list, "w") as f:
        f.write("".join(os.path.join(SRC, n) + "\n" for n in names))
    return [os.path.join(SRC, n) for n in names]


class Shared:
    """One training by the program and Lumivar -v runs, made once."""
    work = model = None
    queries = []
    images = []  # per class

    @classmethod
    def setup(cls):
        if cls.work:
            return
        cls.work = tempfile.mkdtemp(prefix="test_modules.")
        w = cls.work
        cls.images = [absolute_list("demo/lists/background.txt", f"{w}/c0.txt", 6),
                      absolute_list("demo/lists/coin.txt", f"{w}/c1.txt", 6)]
        with open(f"{w}/train.txt", "w") as f:
            f.write(f"{w}/c0.txt\n{w}/c1.txt\n")
        cls.queries = absolute_list("demo/lists/query.txt", f"{w}/query.txt")
        cls.model = f"{w}/model"
        subprocess.run([SENDRAL, f"{w}/train.txt", str(DEPTH), cls.model], check=True,
                       capture_output=True)

    @classmethod
    def lumivar_out(cls, *opts):
        out = os.path.join(cls.work, "out" + "".join(opts).replace(" ", ""))
        if not os.path.isdir(out):
            subprocess.run([LUMIVAR, "-v", *opts, cls.model, "1", f"{cls.work}/query.txt", out],
                           check=True, capture_output=True)
        return out


def same_directory(test, a, b):
    names = sorted(n for n in os.listdir(a) if not n.startswith("."))
    test.assertEqual(names, sorted(n for n in os.listdir(b) if not n.startswith(".")))
    for n in names:
        if n == "timeusage":
            continue
        pa, pb = os.path.join(a, n), os.path.join(b, n)
        if os.path.isdir(pa):
            for part in ("descriptor", "data"):
                test.assertTrue(filecmp.cmp(f"{pa}/{part}", f"{pb}/{part}", shallow=False),
                                f"{n}/{part}")
        else:
            test.assertTrue(filecmp.cmp(pa, pb, shallow=False), n)


class SameNumbersAsThePrograms(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        Shared.setup()

    def test_maps_and_locations_of_every_query_and_map_kind(self):
        for kind in (0, 1, 2):
            out = Shared.lumivar_out("-m", str(kind))
            model = lumivar.Model(Shared.model, 1, map_kind=kind)
            for q in Shared.queries:
                stem = os.path.splitext(os.path.basename(q))[0]
                want = sio.read_dat(f"{out}/{stem}_sm.dat")
                for image in (q, lumivar.read_image(q)):  # a path and the same samples
                    r = model.detect(image)
                    self.assertTrue(np.array_equal(r.map, want), f"{stem} map kind {kind}")
                with open(f"{out}/{stem}_salloc") as f:
                    lines = f.read().splitlines()
                got = ["%d\t%d\t%d\t%f" % (a, b, c, d) for a, b, c, d in r.locations]
                self.assertEqual(got, lines, f"{stem} map kind {kind}")

    def test_scale_map_and_nowta_options(self):
        out = Shared.lumivar_out("-s", "-nowta")
        model = lumivar.Model(Shared.model, 1)
        q = Shared.queries[0]
        stem = os.path.splitext(os.path.basename(q))[0]
        r = model.detect(q, nowta=True, scale_map=True)
        self.assertTrue(np.array_equal(r.scale_map, sio.read_dat(f"{out}/{stem}_scalemap.dat")))
        self.assertEqual(len(r.locations), len(sio.read_locations(f"{out}/{stem}_salloc")))
        self.assertTrue(r._repr_png_().startswith(b"\x89PNG"))

    def test_uint8_arrays_read_as_the_files_they_came_from(self):
        a = (np.arange(320 * 240).reshape(240, 320) * 7 % 256).astype(np.uint8)
        path = os.path.join(Shared.work, "grey.pgm")
        with open(path, "wb") as f:
            f.write(b"P5 320 240 255\n" + a.tobytes())
        self.assertTrue(np.array_equal(lumivar.read_image(path), lumivar._as_grey(a)))

    def test_train_from_arrays_writes_the_programs_bytes(self):
        for opts, kw in (([], {}), (["-exBfea"], {"exbfea": True})):
            want = os.path.join(Shared.work, "want" + "".join(opts))
            subprocess.run([SENDRAL, *opts, f"{Shared.work}/train.txt", str(DEPTH), want],
                           check=True, capture_output=True)
            got = os.path.join(Shared.work, "got" + "".join(opts))
            arrays = [[lumivar.read_image(p) for p in c] for c in Shared.images]
            seen = []
            model = sendral.train(arrays, DEPTH, got, threads=2,
                                  progress=lambda d, t: seen.append((d, t)), **kw)
            same_directory(self, want, got)
            self.assertEqual(seen[-1], (12, 12))
            self.assertEqual(model["pyddepth"], DEPTH)
        # From the moments alone, as -fast: the same directory as from the images.
        sendral.refit(os.path.join(Shared.work, "got"), DEPTH, exbfea=True)
        same_directory(self, os.path.join(Shared.work, "want-exBfea"), os.path.join(Shared.work, "got"))

    def test_learned_weights_and_smoothing_as_the_programs(self):
        w = Shared.work
        names = {os.path.basename(p) for p in Shared.images[1]}
        with open(os.path.join(SRC, "demo/train/boxes.csv")) as f:
            lines = [line for line in f if line.split(",")[0] in names]
        with open(f"{w}/boxes.csv", "w") as f:
            f.write("".join(lines))
        model = f"{w}/model-boxes"
        subprocess.run([SENDRAL, "--boxes", f"{w}/boxes.csv", f"{w}/train.txt", str(DEPTH), model],
                       check=True, capture_output=True)
        sendral.train(Shared.images, DEPTH, f"{w}/got-boxes", boxes=f"{w}/boxes.csv")
        self.assertTrue(filecmp.cmp(f"{model}/learned_class_1", f"{w}/got-boxes/learned_class_1",
                                    shallow=False))
        q = Shared.queries[0]
        stem = os.path.splitext(os.path.basename(q))[0]
        for opts, kw in ((["--learned"], {"learned": True}), (["--smooth", "3"], {"smooth": 3}),
                         (["--learned", "--smooth", "0"], {"learned": True, "smooth": 0})):
            out = f"{w}/out-" + "".join(opts)
            subprocess.run([LUMIVAR, "-v", *opts, model, "1", f"{w}/query.txt", out], check=True,
                           capture_output=True)
            r = lumivar.Model(model, 1, **kw).detect(q)
            self.assertTrue(np.array_equal(r.map, sio.read_dat(f"{out}/{stem}_sm.dat")), opts)
        with self.assertRaises(lumivar.Error):
            lumivar.Model(Shared.model, 1, learned=True)

    def test_detect_many_and_threads_give_the_same_arrays(self):
        model = lumivar.Model(Shared.model, 1, map_kind=2)
        one = [model.detect(q) for q in Shared.queries[:4]]
        many = model.detect_many(Shared.queries[:4], threads=2)
        results = [None] * 4

        def work(i):
            results[i] = model.detect(Shared.queries[i])

        threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for a, b, c in zip(one, many, results):
            self.assertTrue(np.array_equal(a.map, b.map) and np.array_equal(a.map, c.map))
            self.assertTrue(np.array_equal(a.locations, c.locations))

    def test_returned_arrays_own_their_memory(self):
        r = lumivar.Model(Shared.model, 1).detect(Shared.queries[0])
        self.assertTrue(r.map.flags.c_contiguous and r.map.base is not None)
        try:
            import torch
        except ImportError:
            self.skipTest("python3-torch is not installed")
        self.assertTrue(np.array_equal(torch.from_numpy(r.map).numpy(), r.map))


class ErrorsRaiseAndTheInterpreterGoesOn(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        Shared.setup()

    def test_failures_raise_with_the_file_and_the_cause(self):
        bad = os.path.join(Shared.work, "damaged")
        shutil.copytree(Shared.model, bad, dirs_exist_ok=True)
        with open(os.path.join(bad, "Allalpha.dat", "descriptor"), "w") as f:
            f.write("(_data_type double)(_dimensions 9 9)")
        cases = [
            (lambda: lumivar.Model(bad, 1), "Allalpha.dat"),
            (lambda: lumivar.Model(os.path.join(Shared.work, "none"), 1), "salientfeaturenum"),
            (lambda: lumivar.Model(Shared.model, 1).detect("/nonexistent.jpg"), "nonexistent.jpg"),
            (lambda: lumivar.Model(Shared.model, 1).detect(np.zeros((1, 1))), "smaller"),
            (lambda: sendral.train([[np.zeros((4, 4))]], 2, bad + "2"), "large enough"),
            (lambda: sendral._native._misuse_matrix(), "Incompatible dimensions"),
        ]
        for call, words in cases:
            with self.assertRaises(sendral.Error) as cm:
                call()
            self.assertIn(words, str(cm.exception))
            self.assertEqual(cm.exception.status, 1)
        self.assertIs(lumivar.Error, sendral.Error)
        # Still working after all of them.
        self.assertEqual(lumivar.Model(Shared.model, 1).depth, DEPTH)

    def test_messages_go_to_logging(self):
        with self.assertLogs("lumivar", level="INFO") as logs:
            lumivar.Model(Shared.model, 1, features=10000)
        self.assertTrue(any("maximum number of salient features" in m for m in logs.output))


class ResultTableMirrorsThePrograms(unittest.TestCase):
    """sendral.io's table of result entries and its format check against
    what Sendral writes and what Lumivar refuses."""

    def test_written_entries_and_format_entries_as_the_programs(self):
        Shared.setup()
        for n in (n for n in os.listdir(Shared.model) if not n.startswith(".")):
            key, _ = sio.result_file_named(n) or (None, None)
            self.assertIn(key, sio.RESULT_FILES, n)
            self.assertNotEqual(sio.RESULT_FILES[key][2], "never", n)
        query = os.path.join(Shared.work, "one_query.txt")
        with open(query, "w") as f:
            f.write(Shared.queries[0] + "\n")
        for n, entry in enumerate((None, "1\n", "2\n", "x\n")):
            m = os.path.join(Shared.work, f"format{n}")
            shutil.copytree(Shared.model, m)
            os.remove(os.path.join(m, "format"))
            if entry is not None:
                with open(os.path.join(m, "format"), "w") as f:
                    f.write(entry)
            run = subprocess.run([LUMIVAR, "-d", "0", m, "1", query, m + ".out"],
                                 capture_output=True, text=True)
            message = None
            try:
                sio.read_model(m)
            except sio.DatError as e:
                message = str(e)
            self.assertEqual(run.returncode, 1 if message else 0, (entry, run.stderr))
            # The same words up to the version that reads it.
            self.assertIn((message or "").split(", the newest")[0], run.stderr)


def tearDownModule():
    if Shared.work and not os.environ.get("KEEP_SCRATCH"):
        shutil.rmtree(Shared.work, ignore_errors=True)


if __name__ == "__main__":
    SENDRAL, LUMIVAR, SRC = sys.argv[1:4]
    del sys.argv[1:4]
    logging.basicConfig(level=logging.WARNING)
    unittest.main()
