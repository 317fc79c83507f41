"""The feature picture's DCT basis, the scorer's AUC and the scorer's
command line.   /usr/bin/python3 test_tools.py DAT_FIXTURE"""
import os
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


class ToolsTest(unittest.TestCase):
    def test_basis_images_are_the_detectors_filters(self):
        with tempfile.TemporaryDirectory() as d:
            subprocess.run([FIXTURE, "basis", os.path.join(d, "b")], check=True)
            theirs = sio.read_dat(os.path.join(d, "b"))
        ours = np.column_stack([sendral_features.basis(k).ravel() for k in range(64)])
        np.testing.assert_allclose(ours, theirs, atol=1e-6)

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
        with tempfile.TemporaryDirectory() as d:
            for name, rows in locs.items():
                with open(os.path.join(d, name + "_salloc"), "w") as f:
                    f.writelines(f"{r}\t{c}\t8\t1.5\n" for r, c in rows)
            sio.write_dat(os.path.join(d, "a_sm.dat"), smap)
            sio.write_dat(os.path.join(d, "b_sm.dat"), np.ones((6, 6)))
            boxes = os.path.join(d, "boxes.csv")
            with open(boxes, "w") as f:
                f.write("name,top,bottom,left,right\n\na, 4, 5, 4, 5\nb,4,5,4,5\n\nc,0,0,0,0\nnone,1,2,1,2\n")
            out = subprocess.run([sys.executable, os.path.join(HERE, "..", "lumivar_score.py"), d,
                                  boxes, "--object", "the coin"], capture_output=True, text=True)
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
            out = subprocess.run([sys.executable, os.path.join(HERE, "..", "lumivar_score.py"), d,
                                  boxes], capture_output=True, text=True)
            self.assertEqual(out.returncode, 2)
            self.assertIn(boxes + ":8:", out.stderr)


if __name__ == "__main__":
    FIXTURE = sys.argv.pop(1)
    unittest.main()
