"""From Python: train on the demo's folders of images, detect the coin in
queries held as arrays, save one map as a picture, and score the first
locations against the queries' boxes.

    /usr/bin/python3 python/examples/quickstart.py [DEMO_DIR [WORK_DIR]]
"""
import csv
import glob
import os
import sys
import tempfile

import lumivar
import sendral

here = os.path.dirname(os.path.abspath(__file__))
demo = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "..", "demo")
work = sys.argv[2] if len(sys.argv) > 2 else tempfile.mkdtemp(prefix="quickstart.")

# Train: one list of images per class, the background class first.
background = sorted(glob.glob(f"{demo}/train/background/*.jpg"))
coins = sorted(glob.glob(f"{demo}/train/coin/*.jpg"))
sendral.train([background, coins], depth=2, out=f"{work}/model", threads=2)

# Detect: each query as a grey array (read from a file here; any 2-D array works).
model = lumivar.Model(f"{work}/model", 1, features=12)
hits = 0
with open(f"{demo}/query/boxes.csv") as f:
    boxes = list(csv.DictReader(f))
for box in boxes:
    result = model.detect(lumivar.read_image(f"{demo}/query/{box['name']}"))
    row, col, radius, saliency = result.locations[0]
    hits += (int(box["top"]) <= row <= int(box["bottom"])
             and int(box["left"]) <= col <= int(box["right"]))
    if box["name"] == "q00.jpg":
        with open(f"{work}/q00.png", "wb") as out:
            out.write(result.picture())  # the map, the first five locations circled

print(f"first location on the coin in {hits} of {len(boxes)} queries; "
      f"a map in {work}/q00.png")
