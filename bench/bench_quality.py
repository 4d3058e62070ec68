"""Model quality on data we did not make: real photographs with painted-in defects, and the demo's products.

For each product and seed: the evaluation set is written as PNG files (see realset/README.md), the product
is trained and taught through the command line (`qorva train`, `qorva teach`, as a user would), then every
test image is scored in this process through the runner with its anomaly map. Printed per product and per
defect kind: image AUROC, pixel AUROC (maps against masks), false-positive rate and recall at the taught
threshold, median ms per image (one thread, map included), training seconds, bundle size; and per product
the mean z of good test images per branch (0 when unseen good material scores like the held-out images
the branches were normalised on).

    python bench/bench_quality.py                       # every product but the held-out ones, seeds 1 and 2
    python bench/bench_quality.py --quick --products coins   # smoke run, well under a minute
    python bench/bench_quality.py --final               # include the held-out products (glass, motorcycle, coin_tray_b)
    python bench/bench_quality.py --cache ~/.cache/qorva-quality --json
"""

from __future__ import annotations

import os
import sys

if "--threads-all" not in sys.argv:
    # Latency goals are for one core: pin BLAS and OpenCV before numpy loads its thread pool (inherited by
    # the train and teach subprocesses too).
    for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
        os.environ[var] = "1"

import argparse  # noqa: E402
import json  # noqa: E402
import math  # noqa: E402
import re  # noqa: E402
import subprocess  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import cv2  # noqa: E402
import numpy as np  # noqa: E402

from qorva.demo import synthetic  # noqa: E402
from qorva.inspection.modules.norim import runner  # noqa: E402
from qorva.metrics import above, auroc, pixel_auroc  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))

import realset  # noqa: E402
from _common import versions  # noqa: E402
from realset import store  # noqa: E402
from realset.sets import Counts, GeneratedSet, Sample  # noqa: E402

SYNTHETIC = tuple(synthetic.PRODUCTS)
_TRAINED = re.compile(r"([\w+]+) structural model .*\), ([\d.]+) MB, ([\d.]+) s ->")
_NETWORK = re.compile(r"\(pretrained (\w+) features;")


def synthetic_set(product: str, seed: int, counts: Counts) -> GeneratedSet:
    """A demo product as an evaluation set: four seeds per set seed keep the splits apart."""
    base = 10 * seed
    test = [Sample(im, store._EMPTY, "good") for im in synthetic.good_images(product, counts.good, seed=base + 3)]
    test += [Sample(im, m, k) for im, m, k in synthetic.defect_images(product, counts.per_kind, seed=base + 4)]
    return GeneratedSet(
        product,
        seed,
        counts,
        synthetic.good_images(product, counts.train, seed=base + 1),
        synthetic.good_images(product, counts.teach, seed=base + 2),
        test,
        {},
    )


def build_set(product: str, seed: int, counts: Counts, pose: str = "usual") -> GeneratedSet:
    """A real-photo or a demo product's set (`pose`: real-photo objects and trays only)."""
    if product in SYNTHETIC:
        return synthetic_set(product, seed, counts)
    return realset.generate(product, seed, counts, pose)


def _cli(home: Path, *args: str) -> tuple[subprocess.CompletedProcess, float]:
    t0 = time.perf_counter()
    done = subprocess.run(
        [sys.executable, "-m", "qorva", "--home", str(home), "--quiet", *args], capture_output=True, text=True
    )
    return done, time.perf_counter() - t0


def _tree_bytes(folder: Path) -> int:
    return sum(p.stat().st_size for p in folder.rglob("*") if p.is_file())


def evaluate(product: str, seed: int, counts: Counts, root: Path, work: Path, train_args: tuple[str, ...] = ()) -> dict:
    """Train, teach and score one product's set; one row of the tables."""
    folder = store.ensure_set(root, product, seed, counts, make=build_set)
    home = work / f"home-{product}-{seed}"
    row: dict = {"product": product, "seed": seed, "family": family(product), "set": str(folder)}
    done, wall = _cli(home, "train", "--product", product, "--good", str(folder / "train"), *train_args)
    if done.returncode != 0:
        row["error"] = f"train: {done.stderr.strip().splitlines()[-1:]}"
        return row
    m = _TRAINED.search(done.stdout)
    net = _NETWORK.search(done.stdout)
    model = (m.group(1) if m else "?") + (f" {net.group(1)}" if net else "")
    row.update(model=model, train_s=float(m.group(3)) if m else math.nan, train_cli_s=wall)
    done, _ = _cli(home, "teach", "--product", product, "--good", str(folder / "teach"))
    if done.returncode != 0:
        row["error"] = f"teach: {done.stderr.strip().splitlines()[-1:]}"
        return row
    state = json.loads((home / "products" / product / "norim" / "state.json").read_text(encoding="utf-8"))
    thr = float(state["threshold"])
    bundle_dir = home / "products" / product / "norim" / product
    row.update(threshold=thr, bundle_mb=_tree_bytes(bundle_dir) / 1e6)

    os.environ["QORVA_HOME"] = str(home)
    bundle = runner.get_bundle(product)
    samples = store.read_test(folder)
    scores, maps, parts, times = [], [], [], []
    for s in samples:
        t0 = time.perf_counter()
        score, amap, branch = runner.score_image(bundle, s.image, with_map=True)
        times.append(time.perf_counter() - t0)
        scores.append(score)
        maps.append(amap)
        parts.append([branch.get(b, math.nan) for b in runner.BRANCHES])
    scores_a = np.array(scores)
    kinds_a = np.array([s.kind for s in samples])
    good = kinds_a == "good"
    good_maps = [a for a, g in zip(maps, good, strict=True) if g]
    per_kind = {}
    for kind in dict.fromkeys(k for k in kinds_a if k != "good"):
        sel = kinds_a == kind
        idx = np.flatnonzero(sel)
        per_kind[kind] = {
            "n": int(sel.sum()),
            "auroc": auroc(scores_a[good], scores_a[sel]),
            "pixel_auroc": pixel_auroc(good_maps, [maps[i] for i in idx], [samples[i].mask for i in idx]),
            "recall": above(scores_a[sel], thr),
        }
    short = {k: v["n"] for k, v in per_kind.items() if v["n"] < counts.per_kind}
    if short and product not in SYNTHETIC:
        row["short"] = short
    bad = ~good
    bad_idx = np.flatnonzero(bad)
    z = np.array(parts)[good]
    row.update(
        n_good=int(good.sum()),
        n_defect=int(bad.sum()),
        image_auroc=auroc(scores_a[good], scores_a[bad]),
        pixel_auroc=pixel_auroc(good_maps, [maps[i] for i in bad_idx], [samples[i].mask for i in bad_idx]),
        fp_rate=above(scores_a[good], thr),
        recall=above(scores_a[bad], thr),
        ms_median=float(np.median(times) * 1e3),
        good_z_mean={b: float(v) for b, v in zip(runner.BRANCHES, z.mean(0), strict=True)},
        good_z_std={b: float(v) for b, v in zip(runner.BRANCHES, z.std(0), strict=True)},
        kinds=per_kind,
    )
    return row


def evaluate_cli(row: dict, work: Path) -> dict:
    """The same images through `qorva evaluate` in the row's home: its figures, for a side-by-side check."""
    folder, home = Path(row["set"]), work / f"home-{row['product']}-{row['seed']}"
    kinds = work / f"kinds-{row['product']}-{row['seed']}"
    for image in (folder / "test").iterdir():  # evaluate takes a folder per kind
        kind = image.stem.rsplit("_", 1)[0]
        (kinds / kind).mkdir(parents=True, exist_ok=True)
        (kinds / kind / image.name).write_bytes(image.read_bytes())
    bad = [a for k in row["kinds"] for a in ("--bad", str(kinds / k))]
    done, _ = _cli(home, "evaluate", "--product", row["product"], "--good", str(kinds / "good"), *bad, "--masks",
                   str(folder / "masks"), "--format", "json", "--out", str(kinds / "report"))
    if done.returncode != 0:
        return {"error": done.stderr.strip().splitlines()[-1:]}
    return json.loads(done.stdout)["figures"]


def evaluate_differs(row: dict, fig: dict) -> list[str]:
    """The figures of the bench's row that `qorva evaluate` gives otherwise (none: the same numbers)."""
    out = [k for k in ("image_auroc", "pixel_auroc", "fp_rate", "recall") if fig.get(k) != row[k]]
    for kind, f in row["kinds"].items():
        ours = fig.get("folders", {}).get(kind, {})
        out += [f"{kind} {k}" for k, o in (("auroc", "image_auroc"), ("pixel_auroc", "pixel_auroc"),
                                           ("recall", "recall")) if ours.get(o) != f[k]]
    return out


def family(product: str) -> str:
    return "synthetic" if product in SYNTHETIC else realset.PRODUCTS[product].family


def _fmt(v: float, fmt: str = ".3f") -> str:
    return "   -" if v is None or (isinstance(v, float) and math.isnan(v)) else format(v, fmt)


def kind_matrix(rows: list[dict], key: str, title: str, fmt: str) -> None:
    kinds = list(dict.fromkeys(k for r in rows for k in r.get("kinds", {})))
    if not kinds:
        return
    short = {k: k.replace("scratch_", "scr_").replace("subtle_", "sub_")[:9] for k in kinds}
    w = max(10, *(len(r["product"]) for r in rows))
    print(f"\n{title}")
    print(f"  {'product':{w}} " + " ".join(f"{short[k]:>9}" for k in kinds))
    for r in rows:
        cells = [_fmt(r["kinds"][k][key], fmt) if k in r.get("kinds", {}) else "" for k in kinds]
        print(f"  {r['product']:{w}} " + " ".join(f"{c:>9}" for c in cells))


def print_tables(rows: list[dict], env: dict) -> None:
    print(
        f"NORIM quality bench  python {env['python']}  numpy {env['numpy']}  opencv {env['opencv']}  "
        f"cpus {env['cpus']}  threads {env['threads']}{'  (quick)' if env['quick'] else ''}"
    )
    for seed in dict.fromkeys(r["seed"] for r in rows):
        block = [r for r in rows if r["seed"] == seed]
        print(f"\nseed {seed}")
        print(
            f"  {'product':10} {'family':9} {'model':11} {'imgAUROC':>8} {'pixAUROC':>8} {'FP':>6} {'recall':>6} "
            f"{'ms/img':>6} {'train s':>7} {'MB':>5} {'z_str':>6} {'z_maha':>6} {'z_log':>6}"
        )
        for r in block:
            if "error" in r:
                print(f"  {r['product']:10} {r['family']:9} error: {r['error']}")
                continue
            z = r["good_z_mean"]
            print(
                f"  {r['product']:10} {r['family']:9} {r['model']:11} {r['image_auroc']:8.3f} "
                f"{_fmt(r['pixel_auroc']):>8} {r['fp_rate']:6.1%} {r['recall']:6.1%} {r['ms_median']:6.1f} "
                f"{r['train_s']:7.1f} {r['bundle_mb']:5.1f} "
                f"{z['structural']:6.2f} {z['mahalanobis']:6.2f} {z['logical']:6.2f}"
            )
        for r in block:
            if r.get("short"):
                cells = ", ".join(f"{k} {n}" for k, n in r["short"].items())
                print(f"  {r['product']}: fewer visible defects than asked after all attempts: {cells}")
        ok = [r for r in block if "error" not in r]
        for fam in ("texture", "object", "tray", "synthetic"):
            part = [r for r in ok if r["family"] == fam]
            kind_matrix(part, "auroc", f"image AUROC per defect kind ({fam}, seed {seed})", ".2f")
            kind_matrix(part, "pixel_auroc", f"pixel AUROC per defect kind ({fam}, seed {seed})", ".2f")
            kind_matrix(part, "recall", f"recall at the taught threshold per defect kind ({fam}, seed {seed})", ".0%")
    seeds = list(dict.fromkeys(r["seed"] for r in rows))
    if len(seeds) > 1:
        print(f"\nimage AUROC, mean over seeds {', '.join(map(str, seeds))}")
        for product in dict.fromkeys(r["product"] for r in rows):
            vals = [r["image_auroc"] for r in rows if r["product"] == product and "error" not in r]
            fps = [r["fp_rate"] for r in rows if r["product"] == product and "error" not in r]
            if vals:
                per_seed = " ".join(f"{v:.3f}" for v in vals)
                print(f"  {product:10} {np.mean(vals):.3f}  (per seed {per_seed}; FP {np.mean(fps):.1%})")
    print(
        "\nFP: good test images above the threshold taught on the teach images (mean + 2 sd); recall: defects "
        "above it; ms/img: median score_image with map, one thread; train s: as `qorva train` reports it; "
        "MB: bundle on disk; z_str/z_maha/z_log: mean z of the good test images in the structural, mahalanobis "
        "and logical branches (the held-out training images the branches were normalised on average 0)."
    )


def add_set_arguments(parser: argparse.ArgumentParser) -> None:
    """The options every real-photo bench takes: products, held-out ones, set size and cache, output, threads."""
    default = " ".join(p for p in realset.PRODUCTS if p not in realset.HOLDOUT)
    parser.add_argument(
        "--products", nargs="+", default=None, help=f"products to run (default: {default} {' '.join(SYNTHETIC)})"
    )
    parser.add_argument("--quick", action="store_true", help="few images per split: a smoke run")
    parser.add_argument("--json", action="store_true", help="print JSON instead of the tables")
    parser.add_argument(
        "--final", action="store_true", help=f"also run the held-out products ({', '.join(realset.HOLDOUT)})"
    )
    parser.add_argument(
        "--cache", default=None, help="keep generated sets here and reuse them (default: a temp folder)"
    )
    parser.add_argument("--threads-all", action="store_true", help="do not pin BLAS/OpenCV to one thread")


def chosen_products(parser: argparse.ArgumentParser, args: argparse.Namespace) -> list[str]:
    """The products asked for (held-out ones only with --final); pins OpenCV to one thread unless told not to."""
    default = [p for p in realset.PRODUCTS if p not in realset.HOLDOUT] + list(SYNTHETIC)
    products = args.products or default + (list(realset.HOLDOUT) if args.final else [])
    known = set(realset.PRODUCTS) | set(SYNTHETIC)
    unknown = [p for p in products if p not in known]
    if unknown:
        parser.error(f"unknown products: {', '.join(unknown)}; choose from {', '.join(sorted(known))}")
    held = [p for p in products if p in realset.HOLDOUT]
    if held and not args.final:
        parser.error(f"{', '.join(held)} held out from tuning: add --final to run them")
    if not args.threads_all:
        cv2.setNumThreads(1)
    return products


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_set_arguments(parser)
    parser.add_argument("--seed", nargs="+", type=int, default=[1, 2], help="set seeds (default: 1 2)")
    parser.add_argument(
        "--check-evaluate", action="store_true",
        help="also run `qorva evaluate` on each product's images and report any figure it gives otherwise",
    )  # fmt: skip
    parser.add_argument(
        "--augment-textures", action="store_true",
        help="train each texture with --augment set to the flips and turns its material allows (as a user would)",
    )  # fmt: skip
    parser.add_argument(
        "--backbone", default=None, choices=("auto", "lite0", "none"),
        help="passed to qorva train (none: the weight-free model, for a before/after comparison)",
    )  # fmt: skip
    args = parser.parse_args()
    train_args = ("--backbone", args.backbone) if args.backbone else ()
    augment = args.augment_textures
    products = chosen_products(parser, args)
    counts = realset.QUICK if args.quick else realset.FULL
    rows = []
    with tempfile.TemporaryDirectory(prefix="qorva-quality-") as tmp:
        root = Path(args.cache).expanduser() if args.cache else Path(tmp) / "sets"
        for seed in args.seed:
            for product in products:
                t0 = time.perf_counter()
                try:
                    flips = realset.PRODUCTS[product].flips if augment and family(product) == "texture" else ""
                    extra = ("--augment", flips) if flips else ()
                    rows.append(evaluate(product, seed, counts, root, Path(tmp), train_args + extra))
                    if args.check_evaluate and "error" not in rows[-1]:
                        differ = evaluate_differs(rows[-1], evaluate_cli(rows[-1], Path(tmp)))
                        rows[-1]["evaluate_differs"] = differ
                        print(f"{product} seed {seed}: qorva evaluate gives "
                              + (f"other figures for {', '.join(differ)}" if differ else "the same figures"),
                              file=sys.stderr)
                except realset.SourceMissing as exc:
                    rows.append({"product": product, "seed": seed, "family": family(product), "error": str(exc)})
                print(f"{product} seed {seed}: {time.perf_counter() - t0:.0f} s", file=sys.stderr, flush=True)
    env = {
        "backbone": args.backbone or "auto",
        "augment_textures": args.augment_textures,
        **versions(),
        "threads": "all" if args.threads_all else 1,
        "quick": args.quick,
    }
    if args.json:
        print(json.dumps({"env": env, "rows": rows}, indent=1))
    else:
        print_tables(rows, env)
    return 0


if __name__ == "__main__":
    sys.exit(main())
