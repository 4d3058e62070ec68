"""Quality and speed of the NORIM model runner on the built-in synthetic products.

For each product: train on 40 good images, calibrate the threshold on held-out good images
(mean + 2 std, as the inspector does), then measure image AUROC per product and per defect kind, pixel
AUROC on structural defects, the false-positive rate on further unseen good images, score_image latency
with and without the map on one thread (baseline: decoding the same image from PNG, which every image
costs anyway), training time, bundle size and peak memory of a process that scores.

    python bench/bench_runner.py            # full table (40 training images, 10 defects per kind)
    python bench/bench_runner.py --quick    # short run (fewer images; figures are noisier)
    python bench/bench_runner.py --json     # machine-readable output
"""

from __future__ import annotations

import os
import sys

if "--threads-all" not in sys.argv:
    # Latency goals are for one core: pin BLAS and OpenCV before numpy loads its thread pool.
    for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
        os.environ[var] = "1"

import argparse  # noqa: E402
import json  # noqa: E402
import subprocess  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import cv2  # noqa: E402
import numpy as np  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))

from qorva.demo import synthetic  # noqa: E402
from qorva.inspection.modules.norim import runner  # noqa: E402
from qorva.metrics import auroc  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
from _common import versions  # noqa: E402


def best_of(fn, n: int) -> float:
    times = []
    for _ in range(n):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


_PROBE = """
import os, resource, sys
os.environ["QORVA_HOME"] = sys.argv[1]
sys.path.insert(0, sys.argv[4])
from qorva.demo import synthetic as S
from qorva.inspection.modules.norim import runner as r


def peak():
    # VmHWM restarts at exec; ru_maxrss would carry the parent's peak over on Linux.
    try:
        with open("/proc/self/status") as fh:
            return next(int(line.split()[1]) * 1024 for line in fh if line.startswith("VmHWM:"))
    except OSError:
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


ims = S.good_images(sys.argv[3], 20, 5)
before = peak()
b = r.get_bundle(sys.argv[2])
for im in ims:
    r.score_image(b, im, with_map=True)
print(before, peak())
"""


def memprobe(home: str, name: str, product: str) -> tuple[int, int]:
    """Peak memory (bytes) of a fresh process that loads the bundle and scores 20 images, and before loading."""
    src = str(Path(__file__).resolve().parents[1] / "src")
    out = subprocess.run(
        [sys.executable, "-c", _PROBE, home, name, product, src], capture_output=True, text=True, check=True
    )
    before, after = (int(v) for v in out.stdout.split())
    return after, before


def run_product(product: str, args: argparse.Namespace, home: str) -> dict:
    os.environ["QORVA_HOME"] = home
    n_train, n_cal, n_test, n_def = (12, 12, 40, 3) if args.quick else (40, 40, 200, 10)
    train_imgs = synthetic.good_images(product, n_train, seed=100)
    t0 = time.perf_counter()
    res = runner.train(product, train_imgs, seed=0)
    train_s = time.perf_counter() - t0
    bundle = runner.get_bundle(product)
    insample = np.array(runner.score_good_images(bundle, train_imgs))
    thr_in = insample.mean() + 2.0 * max(insample.std(), 1e-9)  # the training images score as held out
    test_good = synthetic.good_images(product, n_test, seed=300)
    good_scores = np.array(runner.score_good_images(bundle, test_good))
    # A threshold from n_cal new good images is itself noisy: average the false-positive rate over many
    # draws of the calibration images from the unseen pool (the rest of the pool is the test).
    draws = np.random.default_rng(0)
    cal_thr, fp_new = [], []
    for _ in range(200):
        idx = draws.permutation(n_test)
        cal = good_scores[idx[:n_cal]]
        cal_thr.append(cal.mean() + 2.0 * cal.std())
        fp_new.append(float((good_scores[idx[n_cal:]] > cal_thr[-1]).mean()))
    thr = float(np.median(cal_thr))
    # A bundle reports only the branches it keeps (with the pretrained features it may drop mahalanobis or logical).
    good_parts = [runner.score_image(bundle, im, with_map=False)[2] for im in test_good]
    good_maps = [runner.score_image(bundle, im, with_map=True)[1] for im in test_good[:n_def]]
    kinds: dict[str, dict] = {}
    all_bad = []
    pix_neg = [m[::2, ::2].ravel() for m in good_maps]
    pix_pos_all, pix_neg_all = [], [np.concatenate(pix_neg)]
    for kind in synthetic.PRODUCTS[product].kinds:
        scores, dominant, branch = [], [], []
        for image, mask, _ in synthetic.defect_images(product, n_def, seed=400, kinds=[kind]):
            s, amap, parts = runner.score_image(bundle, image, with_map=True)
            scores.append(s)
            dominant.append(max(parts, key=parts.get))
            branch.append(parts)
            if kind in synthetic.STRUCTURAL_KINDS:
                m = mask[::2, ::2] > 0
                a = amap[::2, ::2]
                pix_pos_all.append(a[m])
                pix_neg_all.append(a[~m])
        scores = np.array(scores)
        all_bad.append(scores)
        kinds[kind] = {
            "auroc": auroc(good_scores, scores),
            "detected": float((scores > thr).mean()),
            "dominant": max(set(dominant), key=dominant.count),
            "branch_auroc": {
                b: auroc(np.array([p[b] for p in good_parts]), np.array([p[b] for p in branch]))
                for b in runner.BRANCHES if b in good_parts[0]
            },
        }
    bad = np.concatenate(all_bad)
    pixel = auroc(np.concatenate(pix_neg_all), np.concatenate(pix_pos_all)) if pix_pos_all else float("nan")

    rng_img = test_good[0]
    png = cv2.imencode(".png", rng_img)[1]
    reps = 15 if args.quick else 40
    t_base = best_of(lambda: cv2.imdecode(png, cv2.IMREAD_COLOR), reps)
    t_map = best_of(lambda: runner.score_image(bundle, rng_img, with_map=True), reps)
    t_nomap = best_of(lambda: runner.score_image(bundle, rng_img, with_map=False), reps)
    peak, base_rss = memprobe(home, product, product)
    return {
        "product": product,
        "kind": res.kind,
        "position_share": res.position_share,
        "n_train": n_train,
        "image_auroc": auroc(good_scores, bad),
        "pixel_auroc_structural": pixel,
        "fp_rate": float(np.mean(fp_new)),
        "fp_rate_heldout_threshold": float((good_scores > thr_in).mean()),
        "detect_rate": float((bad > thr).mean()),
        "kinds": kinds,
        "train_s": train_s,
        "bundle_mb": res.bundle_bytes / 1e6,
        "score_ms_map": t_map * 1e3,
        "score_ms_nomap": t_nomap * 1e3,
        "png_decode_ms": t_base * 1e3,
        "peak_rss_mb": peak / 1e6,
        "scoring_rss_mb": (peak - base_rss) / 1e6,
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer images: a short run")
    parser.add_argument("--json", action="store_true", help="print JSON instead of the table")
    parser.add_argument("--products", nargs="*", default=list(synthetic.PRODUCTS), help="products to run")
    parser.add_argument("--threads-all", action="store_true", help="do not pin BLAS/OpenCV to one thread")
    args = parser.parse_args()
    if not args.threads_all:
        cv2.setNumThreads(1)
    rows = []
    with tempfile.TemporaryDirectory() as home:
        for product in args.products:
            rows.append(run_product(product, args, home))
    env = {
        **versions(),
        "threads": "all" if args.threads_all else 1,
        "quick": args.quick,
    }
    if args.json:
        print(json.dumps({"env": env, "products": rows}, indent=1))
        return 0
    print(
        f"NORIM runner bench  python {env['python']}  numpy {env['numpy']}  opencv {env['opencv']}  "
        f"cpus {env['cpus']}  threads {env['threads']}{'  (quick)' if args.quick else ''}"
    )
    print(
        f"{'product':9} {'model':5} {'imgAUROC':>8} {'pixAUROC':>8} {'FPheld':>6} {'FPnew':>5} {'detect':>6} "
        f"{'map ms':>7} {'nomap ms':>8} {'xPNG':>5} {'train s':>7} {'MB':>5} {'RSS MB':>6}"
    )
    for r in rows:
        print(
            f"{r['product']:9} {r['kind']:5} {r['image_auroc']:8.3f} {r['pixel_auroc_structural']:8.3f} "
            f"{r['fp_rate_heldout_threshold']:6.1%} {r['fp_rate']:5.1%} {r['detect_rate']:6.1%} "
            f"{r['score_ms_map']:7.2f} {r['score_ms_nomap']:8.2f} {r['score_ms_map'] / r['png_decode_ms']:5.1f} "
            f"{r['train_s']:7.1f} {r['bundle_mb']:5.1f} {r['peak_rss_mb']:6.0f}"
        )
    print("\nimage AUROC per defect kind (detected at threshold, dominant branch)")
    for r in rows:
        cells = [f"{k} {v['auroc']:.2f} ({v['detected']:.0%} {v['dominant'][:4]})" for k, v in r["kinds"].items()]
        print(f"  {r['product']:9} " + ", ".join(cells))
    print("\nimage AUROC of each branch alone (structural / mahalanobis / logical; nan: not in the bundle)")
    for r in rows:
        cells = [f"{k} " + "/".join(f"{d['branch_auroc'].get(b, float('nan')):.2f}" for b in runner.BRANCHES)
                 for k, d in r["kinds"].items()]
        print(f"  {r['product']:9} " + ", ".join(cells))
    print(
        "\nFPheld: share of 200 unseen good images above mean+2sd of the held-out scores of the 40 training "
        "images (what teach computes when given the training images, which score as when held out); FPnew: "
        "same with the threshold from 40 other new good images, averaged over 200 draws of those 40; "
        "detect: defects above the median FPnew threshold; "
        "xPNG: score_image with map / PNG decode of the same image; RSS MB: peak of a fresh process scoring "
        "20 images."
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
