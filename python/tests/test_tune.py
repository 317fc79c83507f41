"""lumivar_tune.py on the demo, tuned on 6 queries with 4 held out: its
table and files, its command lines run with the programs, and a choice that
does no worse on the held-out queries than the demo's defaults.
    PYTHONPATH=BUILD/python /usr/bin/python3 test_tune.py SENDRAL LUMIVAR SOURCE_DIR"""
import csv
import glob
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest

SENDRAL = LUMIVAR = SRC = None
tune = lumivar_score = None  # python/lumivar_tune.py and lumivar_score.py, imported in main
HELD_OUT = ("q00", "q01", "q02", "q03")
GRID = ["--depths", "2,3", "--features", "5,12", "--maps", "0,2", "--exbfea", "on",
        "--enforce", "off"]


def write_list(path, names):
    with open(path, "w") as f:
        f.write("".join(n + "\n" for n in names))
    return path


class Tuned(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        boxes = lumivar_score.read_boxes(f"{SRC}/demo/query/boxes.csv")
        cls.boxes = {b[0]: b[1:5] for b in boxes}
        cls.work = w = tempfile.mkdtemp(prefix="test_tune.")
        classes = [write_list(f"{w}/c{j}.txt", sorted(glob.glob(f"{SRC}/demo/train/{c}/*.jpg")))
                   for j, c in enumerate(("background", "coin"))]
        write_list(f"{w}/train set.txt", classes)
        names = sorted(cls.boxes)
        cls.tuning = [n for n in names if n not in HELD_OUT]
        write_list(f"{w}/tune queries.txt", [f"{SRC}/demo/query/{n}.jpg" for n in cls.tuning])
        write_list(f"{w}/held.txt", [f"{SRC}/demo/query/{n}.jpg" for n in HELD_OUT])
        with open(f"{w}/tune boxes.csv", "w") as f:  # the boxes of the tuning queries only
            f.write("".join(f"{n},{','.join(map(str, cls.boxes[n]))}\n" for n in cls.tuning))
        cls.tuner = subprocess.run(
            [sys.executable, f"{SRC}/python/lumivar_tune.py", *GRID, "--folds", "3", "--work",
             f"{w}/tuner", "train set.txt", "1", "tune queries.txt", "tune boxes.csv"],
            cwd=w, capture_output=True, text=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def tool(self, line, *replace):
        """Runs a printed command line with the built program; the last
        positional arguments may be swapped for others."""
        args = shlex.split(line)
        args[0] = {"Sendral": SENDRAL, "Lumivar": LUMIVAR}[args[0]]
        if replace:
            args[-len(replace):] = replace
        subprocess.run(args, cwd=self.work, check=True, capture_output=True)

    def hits(self, outdir, names):
        return sum(lumivar_score.score_image(f"{self.work}/{outdir}", n, *self.boxes[n])["top1"]
                   for n in names)

    def test_table_files_and_command_lines(self):
        self.assertEqual(self.tuner.returncode, 0, self.tuner.stderr)
        out = self.tuner.stdout.splitlines()
        self.assertEqual(self.tuner.stderr, "")
        self.assertTrue(any(line.startswith("rank depth") for line in out), self.tuner.stdout)
        with open(f"{self.work}/tuner/tune.csv", newline="") as f:
            rows = list(csv.DictReader(f))
        self.assertEqual([r["rank"] for r in rows], [str(i) for i in range(1, 9)])
        with open(f"{self.work}/tuner/tune.png", "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        self.assertEqual(sum(line.startswith("Cross-validated hit@1") for line in out), 1)

        # The printed lines as they are: the programs reproduce the tuner's hits.
        sendral_line, = (line for line in out if line.startswith("Sendral "))
        lumivar_line, = (line for line in out if line.startswith("Lumivar "))
        self.tool(sendral_line)
        self.tool(lumivar_line)
        best = rows[0]
        self.assertEqual(self.hits("detections", self.tuning),
                         round(float(best["hit1"]) * len(self.tuning)))
        self.assertIn(f"-f {best['features']} -m {best['map_kind']} ", lumivar_line)
        self.assertEqual(shlex.split(sendral_line)[-2], best["depth"])
        self.assertEqual("-exBfea" in sendral_line, best["exbfea"] == "1")

        # On queries it has not seen, no worse than depth 2, -exBfea, 12 features, map kind 0.
        self.tool(lumivar_line, "model", "1", "held.txt", "held")
        self.tool("Sendral -exBfea 'train set.txt' 2 default")
        self.tool("Lumivar -f 12 -m 0 default 1 held.txt held-default")
        self.assertGreaterEqual(self.hits("held", HELD_OUT), self.hits("held-default", HELD_OUT))

    def test_bad_input_is_refused_before_training(self):
        w = self.work
        write_list(f"{w}/twice.txt", [f"{SRC}/demo/query/q04.jpg", f"{SRC}/demo/query/q04.jpg"])
        good = ["train set.txt", "1", "tune queries.txt", "tune boxes.csv"]
        for opts, pos, arg, message in (
                ([], 2, "held.txt", "no box for q00"),
                ([], 2, "twice.txt", "the same name q04"),
                ([], 1, "2", "class 2 is not among"),
                ([], 0, "c0.txt", "not a list of names"),
                ([], 3, "none.csv", "cannot read"),
                (["--maps", "0,3"], 0, good[0], "--maps"),
                (["--csv", "tune boxes.csv"], 0, good[0], "is an input")):
            args = opts + good[:pos] + [arg] + good[pos + 1:]
            r = subprocess.run([sys.executable, f"{SRC}/python/lumivar_tune.py", *args], cwd=w,
                               capture_output=True, text=True)
            self.assertNotEqual(r.returncode, 0, args)
            self.assertIn(message, r.stderr, args)
            self.assertFalse(os.path.exists(f"{w}/tune.png"), args)


class WithTrainingBoxes(unittest.TestCase):
    def test_learned_settings_join_the_grid_and_their_lines_run(self):
        w = tempfile.mkdtemp(prefix="test_tune_boxes.")
        self.addCleanup(shutil.rmtree, w, True)
        classes = [write_list(f"{w}/c{j}.txt", sorted(glob.glob(f"{SRC}/demo/train/{c}/*.jpg")))
                   for j, c in enumerate(("background", "coin"))]
        write_list(f"{w}/train.txt", classes)
        names = sorted(glob.glob(f"{SRC}/demo/query/*.jpg"))[:4]
        write_list(f"{w}/q.txt", names)
        r = subprocess.run(
            [sys.executable, f"{SRC}/python/lumivar_tune.py", "--depths", "2", "--features", "12",
             "--maps", "0", "--exbfea", "on", "--enforce", "off", "--smooth", "0,14", "--folds",
             "2", "--train-boxes", f"{SRC}/demo/train/boxes.csv", "--work", f"{w}/tuner",
             "train.txt", "1", "q.txt", f"{SRC}/demo/query/boxes.csv"],
            cwd=w, capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(f"{w}/tuner/tune.csv", newline="") as f:
            rows = list(csv.DictReader(f))
        # Two smoothings of the plain setting; the learned one's own and the same two.
        self.assertEqual(sorted((x["learned"], x["smooth"]) for x in rows),
                         [("0", "0"), ("0", "14"), ("1", "0"), ("1", "14"), ("1", "learned")])
        for line in r.stdout.splitlines():
            if line.startswith(("Sendral ", "Lumivar ")):
                args = shlex.split(line)
                args[0] = {"Sendral": SENDRAL, "Lumivar": LUMIVAR}[args[0]]
                subprocess.run(args, cwd=w, check=True, capture_output=True)
        self.assertTrue(os.path.exists(f"{w}/model/learned_class_1") or rows[0]["learned"] == "0")


class CrossValidation(unittest.TestCase):
    def test_each_fold_is_judged_by_a_choice_made_without_it(self):
        def setting(features, hit1):
            s = tune.Setting(2, True, False, features, 0, False)
            s.used, s.hit1, s.top3, s.aucs = features, hit1, hit1, [0.5] * 4
            return s
        # Folds {0, 2} and {1, 3}: a is right on the first only, b on the second
        # only, and c, the best on all, on three queries.
        a, b, c = setting(5, [1, 0, 1, 0]), setting(8, [0, 1, 0, 1]), setting(12, [1, 1, 1, 0])
        chosen = tune.cross_validate([c, b, a], 4, 2)
        # Chosen on {1, 3}: b. On {0, 2}: a, tied with c and of fewer features.
        self.assertEqual([(pick, hits) for pick, _, hits in chosen], [(b, 0), (a, 0)])
        self.assertIs(tune.best([a, b, c], range(4)), c)
        self.assertEqual(c.fold_hit1, [1.0, 0.5])


if __name__ == "__main__":
    SENDRAL, LUMIVAR, SRC = (os.path.abspath(a) for a in sys.argv[1:4])
    # The tuner runs in another folder.
    os.environ["PYTHONPATH"] = os.pathsep.join(
        os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p)
    sys.path.append(os.path.join(SRC, "python"))  # after the built packages
    from sendral import scoring as lumivar_score
    import lumivar_tune as tune
    del sys.argv[1:4]
    unittest.main()
