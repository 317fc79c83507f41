"""The Python tools against the C++ library: sendral_io reads every datfile
the library writes and the library reads what write_dat writes; the feature
picture's basis is the detector's; the scorer's AUC and command line.
    /usr/bin/python3 test_tools.py DAT_FIXTURE"""
import csv
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
import lumivar_score  # noqa: E402
import sendral_features  # noqa: E402
import sendral_io as sio  # noqa: E402

FIXTURE = None


def library(*args):
    """{file: (sizes, elements as complex)} as the fixture prints them."""
    out = subprocess.run([FIXTURE, *args], capture_output=True, text=True, check=True).stdout
    seen = {}
    for line in out.splitlines():
        name, sizes, vals = line.split("\t")
        v = np.array(vals.split(), dtype=float)
        seen[name] = ([int(s) for s in sizes.split()], v[0::2] + 1j * v[1::2])
    return seen


def make(path, descriptor, data):
    os.mkdir(path)
    for part, content in (("descriptor", descriptor), ("data", data)):
        if content is not None:
            with open(os.path.join(path, part), "wb") as f:
                f.write(content)
    return path


class ToolsTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)

    def same_as_library(self, seen):
        for name, (sizes, values) in seen.items():
            with self.subTest(os.path.basename(name)):
                a = sio.read_dat(name, squeeze=False)
                self.assertEqual(list(a.shape), sizes)
                np.testing.assert_array_equal(a.ravel().astype(complex), values)

    def test_reads_what_the_library_writes(self):
        seen = library("write", self.dir)
        self.assertEqual(len(seen), 24)  # 14 types, the 10 multi-byte ones in both orders
        self.same_as_library(seen)

    def test_odd_descriptors_read_as_the_library_reads_them(self):
        odd = [(b"; a (_data_type signed_2) b ) c\n(_Dimensions  3)(_byte_order msb)(_dimensions 2)",
                bytes(range(6))),
               (b"(_data_type float)(_dimensions 2 2)(_x a\\)b(c)d;)\n(_byte_order lsb) j (_dimensions 9)",
                np.arange(4, dtype="<f4").tobytes()),
               (b"(_data_type double)(_byte_order big)(_channels 2 3)(_dimensions 2x 5)",
                np.arange(4.0).tobytes())]
        names = [make(os.path.join(self.dir, f"odd{i}"), d, x) for i, (d, x) in enumerate(odd)]
        self.same_as_library(library("read", *names))

    def test_library_reads_what_write_dat_writes(self):
        halves = np.array([2.5, -2.5, 0.49, 300, -7, 1.5])
        cases = [  # array, type, byte order, values the library must read (None: the array's)
            (np.arange(24.0).reshape(2, 3, 4) / 3, None, "msb", None),
            (np.array([1, -300, 70000], np.int32), None, "msb", None),
            (np.array([3, 65535, 9], np.uint16), None, "lsb", None),
            (np.array([0.1, -1e30], np.float32), None, "msb", None),
            (np.array([1 + 2j, -3.5j], np.complex64), None, "msb", None),
            (np.array([[1 - 1j], [2e300 + 1j]]), None, None, None),
            (halves, "unsigned_1", None, [3, 0, 0, 255, 0, 2]),
            (halves, "signed_1", None, [3, -3, 0, 127, -7, 2]),
            (halves, "fixed_point_2", "msb", [2.5, -2.5, 0.48828125, 127.99609375, -7, 1.5]),
        ]
        names = [os.path.join(self.dir, f"w{i}") for i in range(len(cases))]
        for name, (arr, typ, order, _) in zip(names, cases):
            sio.write_dat(name, arr, type=typ, byteorder=order)
        seen = library("read", *names)
        for name, (arr, typ, order, expect) in zip(names, cases):
            with self.subTest(f"{arr.dtype} as {typ} {order}"):
                want = np.asarray(arr if expect is None else expect).ravel().astype(complex)
                self.assertEqual(seen[name][0], [1, 1, *arr.shape])
                np.testing.assert_array_equal(seen[name][1], want)
                self.assertEqual(sio.read_dat(name).shape, arr.shape)

    def test_basis_matrix_is_the_librarys_byte_for_byte_and_the_pictures(self):
        theirs, ours = os.path.join(self.dir, "basis"), os.path.join(self.dir, "ours")
        subprocess.run([FIXTURE, "basis", theirs], check=True)
        basis = sio.read_dat(theirs)
        sio.write_dat(ours, np.zeros(3, np.int8))
        sio.write_dat(ours, basis)  # replaces the first
        for part in ("descriptor", "data"):
            with open(os.path.join(ours, part), "rb") as a, open(os.path.join(theirs, part), "rb") as b:
                self.assertEqual(a.read(), b.read(), part)
        drawn = np.column_stack([sendral_features.basis(k).ravel() for k in range(64)])
        np.testing.assert_allclose(drawn, basis, atol=1e-6)

    def test_damaged_files_are_refused_naming_the_file(self):
        cases = [  # descriptor, data, words of the message
            (None, None, "not a datfile"),
            (b"(_data_type double)", b"", "dimensions unknown"),
            (b"(_data_type Double)(_dimensions 1)", b"12345678", "unknown data type"),
            (b"(_data_type double)(_dimensions 2 3)", bytes(40), "40 bytes"),
            (b"(_data_type signed_4)(_dimensions 3 0)", b"", "positive"),
            (b"(_data_type double)(_dimensions 1)", None, "cannot read"),
        ]
        for i, (descr, data, words) in enumerate(cases):
            name = make(os.path.join(self.dir, f"bad{i}"), descr, data)
            with self.subTest(words), self.assertRaises(sio.DatError) as e:
                sio.read_dat(name)
            self.assertIn(name, str(e.exception))
            self.assertIn(words, str(e.exception))

    def test_hostile_files_are_refused_before_they_are_read(self):
        """No hang on a FIFO, no endless read of a device or a huge header,
        and no 2 GB allocation for a claim over a file of 100 bytes."""
        def write(text):
            def spoil(p):
                with open(p, "wb") as f:
                    f.write(text)
            return spoil

        signal.signal(signal.SIGALRM, lambda *_: self.fail("the reader hangs"))
        self.addCleanup(signal.alarm, 0)
        cases = [("descriptor", os.mkfifo, "not a regular file"),
                 ("data", os.mkfifo, "not a regular file"),
                 ("descriptor", lambda p: os.symlink("/dev/zero", p), "not a regular file"),
                 ("descriptor", write(b" " * (sio.MAX_DESCRIPTOR + 1)), "larger than 1048576 bytes")]
        for i, (part, spoil, words) in enumerate(cases):
            name = make(os.path.join(self.dir, f"hostile{i}"),
                        b"(_data_type double)(_dimensions 1 1)", bytes(8))
            os.remove(os.path.join(name, part))
            spoil(os.path.join(name, part))
            signal.alarm(10)
            with self.subTest(part=part, words=words), self.assertRaises(sio.DatError) as e:
                sio.read_dat(name)
            self.assertIn(os.path.join(name, part) + ": " + words, str(e.exception))
        huge = make(os.path.join(self.dir, "huge"),
                    b"(_data_type double)(_dimensions 16000 16000)", bytes(100))
        limited = ("import resource, sys; sys.path.insert(0, sys.argv[1]); "
                   "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30)); "
                   "import sendral_io as sio\ntry:\n    sio.read_dat(sys.argv[2])\n"
                   "except sio.DatError as e:\n    print(e)\n")
        # One BLAS thread: buffers for every core would not fit under the limit.
        out = subprocess.run([sys.executable, "-c", limited, os.path.join(HERE, ".."), huge],
                             capture_output=True, text=True, timeout=60,
                             env=dict(os.environ, OPENBLAS_NUM_THREADS="1"))
        self.assertIn("100 bytes, but the descriptor declares", out.stdout, out.stderr)

    def test_auc_is_the_pairwise_win_rate_with_ties_half(self):
        rng = np.random.default_rng(7)
        for _ in range(20):
            a, b = rng.integers(0, 5, rng.integers(1, 30)), rng.integers(0, 5, rng.integers(1, 30))
            pairs = (a[:, None] > b[None, :]) + 0.5 * (a[:, None] == b[None, :])
            self.assertAlmostEqual(lumivar_score.auc(a, b), pairs.mean(), places=12)
        self.assertIsNone(lumivar_score.auc([], [1.0]))

    def test_scorer_reports_hits_and_auc_per_image(self):
        smap = np.zeros((6, 6))
        smap[4:, 4:], smap[0, 1], smap[0, 2] = 1, 1, 2  # box of 1s, a tie and a winner outside
        locs = {"a": [(5, 5), (0, 0)], "b": [(0, 0), (1, 1), (0, 5), (5, 0), (4, 4)], "c": [(0, 0)]}
        d = self.dir
        for name, rows in locs.items():
            with open(os.path.join(d, name + "_salloc"), "w") as f:
                f.writelines(f"{r}\t{c}\t8\t1.5\n" for r, c in rows)
        sio.write_dat(os.path.join(d, "a_sm.dat"), smap)
        sio.write_dat(os.path.join(d, "b_sm.dat"), np.ones((6, 6)))
        boxes = os.path.join(d, "boxes.csv")
        with open(boxes, "w") as f:
            f.write("name,top,bottom,left,right\n\na, 4, 5, 4, 5\nb,4,5,4,5\n\nc,0,0,0,0\nnone,1,2,1,2\n")
        run = [sys.executable, os.path.join(HERE, "..", "lumivar_score.py"), d, boxes]
        out = subprocess.run(run + ["--object", "the coin"], capture_output=True, text=True)
        lines = out.stdout.splitlines()
        self.assertEqual(out.returncode, 1, "a missing image must fail the run")
        # AUC of a: (4 * 30 wins + 4 * 1/2 tie) / (4 * 32 pairs)
        self.assertRegex(lines[0], r"^  a .*first hit .*top3 hit .*top5 hit .*AUC 0\.953 \(a_sm\.dat")
        self.assertRegex(lines[1], r"^  b .*first miss .*top3 miss .*top5 hit .*AUC 0\.500")
        self.assertRegex(lines[2], r"^  c .*first hit .*AUC n/a \(no map\)")
        self.assertIn("none_salloc", lines[3])
        self.assertEqual(lines[4:7], [
            "  first location on the coin: 2 of 4 query images",
            "  any of the first 3 locations on the coin: 2 of 4 query images",
            "  any of the first 5 locations on the coin: 3 of 4 query images"])
        with open(boxes, "a") as f:
            f.write("d,1,2,x,3\n")
        out = subprocess.run(run, capture_output=True, text=True)
        self.assertEqual((out.returncode, boxes + ":8:" in out.stderr), (2, True))

    def test_a_run_record_keeps_old_outputs_out_of_the_scores_and_the_report(self):
        d = self.dir
        for name in ("q00", "q01"):
            with open(os.path.join(d, name + "_salloc"), "w") as f:
                f.write("5\t5\t8\t1.5\n0\t0\t8\t1.0\n")
            sio.write_dat(os.path.join(d, name + "_sm.dat"), np.eye(6))
        # The recorded run wrote q00's files and q01's locations; q01's map is older.
        outputs = {"q00": ["q00_sm.dat", "q00_salloc"], "q01": ["q01_salloc"]}
        rec = {"program": "Lumivar", "settings": {"outpath": d, "-m": 2},
               "images": [{"entry": f"x/{n}.jpg", "status": "ok",
                           "outputs": [os.path.join(d, o) for o in outs]}
                          for n, outs in outputs.items()]}
        with open(os.path.join(d, "run.json"), "w") as f:
            json.dump(rec, f)
        boxes = os.path.join(d, "boxes.csv")
        with open(boxes, "w") as f:  # file names and stems alike
            f.write("name,top,bottom,left,right\nq00.jpg,4,5,4,5\nq01,4,5,4,5\n")
        table = os.path.join(d, "scores.csv")
        out = subprocess.run([sys.executable, os.path.join(HERE, "..", "lumivar_score.py"), d, boxes,
                              "--csv", table], capture_output=True, text=True)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn("q01_sm.dat was not written by the run recorded", out.stderr)
        self.assertNotIn("q00_sm.dat was not", out.stderr)
        with open(table) as f:
            rows = list(csv.DictReader(f))
        self.assertEqual([(r["name"], r["first"], r["map"]) for r in rows],
                         [("q00", "1", "q00_sm.dat"), ("q01", "1", "")])
        page = subprocess.run([sys.executable, os.path.join(HERE, "..", "lumivar_report.py"), d,
                               "--boxes", boxes], capture_output=True, text=True)
        self.assertEqual(page.returncode, 0, page.stderr)
        with open(os.path.join(d, "index.html")) as f:
            text = f.read()
        self.assertIn("<dt>-m (map kind)</dt><dd>2</dd>", text)
        self.assertIn("first location in the box: 2 of 2", text)

    def test_lists_from_class_folders_name_every_image_absolutely(self):
        d = self.dir
        for folder, files in (("bg", ["b.png", "a.JPG", "notes.txt"]), ("obj", ["o.pgm"]),
                              ("q", ["q1.jpg"])):
            os.makedirs(os.path.join(d, folder))
            for n in files:
                open(os.path.join(d, folder, n), "w").close()
        run = subprocess.run([sys.executable, os.path.join(HERE, "..", "sendral_lists.py"),
                              "--out", os.path.join(d, "lists"), "--query", os.path.join(d, "q"),
                              os.path.join(d, "bg"), os.path.join(d, "obj")],
                             capture_output=True, text=True, cwd=d)
        self.assertEqual(run.returncode, 0, run.stderr)
        read = lambda p: open(p).read().split()  # noqa: E731
        train = read(os.path.join(d, "lists", "train.txt"))
        self.assertEqual([read(t) for t in train],
                         [[os.path.join(d, "bg", n) for n in ("a.JPG", "b.png")],
                          [os.path.join(d, "obj", "o.pgm")]])
        self.assertEqual(read(os.path.join(d, "lists", "query.txt")), [os.path.join(d, "q", "q1.jpg")])
        self.assertIn("Sendral ", run.stdout)

    def test_links_planted_at_written_names_are_replaced_not_followed(self):
        d = self.dir
        out, model, lists, bg = (os.path.join(d, n) for n in ("out", "model", "lists", "bg"))
        files = {"out/q_salloc": "1\t1\t8\t1.5\n", "boxes.csv": "q,0,1,0,1\n", "bg/a.png": "",
                 "model/pyddepth": "1", "model/salientfeaturenum": "1\n",
                 "model/Qor_class_0": "1.0\t0.5\t0\t3\n", "victim": "keep"}
        for name, text in files.items():
            os.makedirs(os.path.dirname(os.path.join(d, name)), exist_ok=True)
            with open(os.path.join(d, name), "w") as f:
                f.write(text)
        sio.write_dat(os.path.join(out, "q_sm.dat"), np.eye(4))  # drawn into index_files/
        os.makedirs(os.path.join(d, "victims"))
        cases = [  # tool and its arguments; the files it writes, a folder first
            (["lumivar_report.py", out], ["out/index_files", "out/index_files/q_sm.png",
                                          "out/index.html"]),
            (["lumivar_score.py", out, os.path.join(d, "boxes.csv"), "--csv",
              os.path.join(out, "s.csv")], ["out/s.csv"]),
            (["sendral_features.py", model], ["model/features.png", "model/features.html"]),
            (["sendral_lists.py", "--out", lists, bg, bg], ["lists/train.txt", "lists/class0_bg.txt"]),
        ]
        os.makedirs(lists)
        for argv, written in cases:
            with self.subTest(argv[0]):
                links = [w for w in written if os.path.dirname(w) not in written]
                for w in links:  # a folder link leads to an empty folder of victims
                    os.symlink(os.path.join(d, "victims" if "." not in w else "victim"),
                               os.path.join(d, w))
                run = subprocess.run([sys.executable, os.path.join(HERE, "..", argv[0]), *argv[1:]],
                                     capture_output=True, text=True)
                self.assertEqual(run.returncode, 0, run.stderr)
                for w in written:
                    self.assertTrue(os.path.exists(os.path.join(d, w)) and
                                    not os.path.islink(os.path.join(d, w)), w)
                with open(os.path.join(d, "victim")) as f:
                    self.assertEqual((f.read(), os.listdir(os.path.join(d, "victims"))), ("keep", []))
                self.assertEqual([n for n in os.listdir(os.path.dirname(os.path.join(d, written[-1])))
                                  if n.endswith(".tmp")], [])

    def test_boxes_are_clipped_to_the_map_and_one_wholly_outside_scores_nothing(self):
        smap = np.zeros((6, 6))
        smap[0:2, 0:2] = 1
        for name in ("up", "left", "corner"):
            sio.write_dat(os.path.join(self.dir, name + "_sm.dat"), smap)
            with open(os.path.join(self.dir, name + "_salloc"), "w") as f:
                f.write("0\t0\t8\t1.5\n")
        boxes = os.path.join(self.dir, "boxes.csv")
        with open(boxes, "w") as f:  # a slice would take rows (columns) 0 to 3 of the first two
            f.write("up,-5,-2,0,5\nleft,0,5,-9,-2\ncorner,-3,1,-3,1\n")
        out = subprocess.run([sys.executable, os.path.join(HERE, "..", "lumivar_score.py"), self.dir,
                              boxes], capture_output=True, text=True).stdout.splitlines()
        for line, name in zip(out, ("up", "left")):
            self.assertRegex(line, rf"^  {name} .*first miss .*AUC n/a \(box outside the map\)")
        self.assertRegex(out[2], r"^  corner .*first hit .*AUC 1\.000")

if __name__ == "__main__":
    FIXTURE = sys.argv.pop(1)
    unittest.main()
