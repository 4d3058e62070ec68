"""What the NORIM inspector adds around the model: inspect (no overlay) and teach (50 images).

The runner's members are replaced by ones that return at once, so only the inspector's own work is
timed: configuration merge, bundle choice, validation, statistics, rounding and the result records.
The baseline is the plain-Python inspector of tests/reference/norim.py (the tests' oracle), run in the
same process on the same data. A ratio below 1.0 means the extension adds less than the plain Python version would.

    python bench/bench_inspector.py          # table
    python bench/bench_inspector.py --json   # machine-readable output
"""

from __future__ import annotations

import argparse
import json
import time

import numpy as np

from _common import versions  # noqa: I001  (first: it sets the import paths)
from qorva.inspection.modules.norim import inspector, runner
from reference.norim import NorimInspector as PlainNorim


def instant_runner(n_scores: int) -> None:
    """Runner members that return at once, installed on the runner module as the inspector finds them."""
    bundle = {"device": "cpu"}
    scores = np.random.default_rng(0).gamma(2.0, 0.3, n_scores).tolist()
    scored = (0.731, None, {"structural": 0.731, "mahalanobis": 0.2, "logical": 0.4})
    runner.get_bundle = lambda name, device=None: bundle
    runner.score_good_images = lambda b, images: scores
    runner.score_image = lambda b, image, *, with_map: scored


def best_of_pair(ours, plain, repeat: int, number: int) -> tuple[float, float]:
    """Best mean seconds per call of each over `repeat` rounds of `number` calls.

    The two alternate round by round, so a load that comes and goes on the machine hits both alike.
    """
    best = [float("inf"), float("inf")]
    for _ in range(repeat):
        for i, fn in enumerate((ours, plain)):
            t = time.perf_counter()
            for _ in range(number):
                fn()
            best[i] = min(best[i], (time.perf_counter() - t) / number)
    return best[0], best[1]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--json", action="store_true", help="print JSON instead of the table (default: table)")
    parser.add_argument("--repeat", type=int, default=60, help="rounds per measurement, best kept (default: 60)")
    parser.add_argument("--images", type=int, default=50, help="good images handed to teach (default: 50)")
    args = parser.parse_args()

    instant_runner(args.images)
    image = np.full((256, 256, 3), 128, np.uint8)
    images = [image.copy() for _ in range(args.images)]
    config = {"product_id": "P1", "sigma": 2.0}
    ours, plain = inspector.NorimInspector(), PlainNorim()
    state = ours.teach(images, config)
    reference = plain.teach(images, config)
    same_state = state.threshold == reference.threshold and state.params == reference.params
    cases = {
        "inspect (no overlay)": (lambda: ours.inspect(image, state, with_overlay=False),
                                 lambda: plain.inspect(image, state, with_overlay=False), 200),
        f"teach ({args.images} images)": (lambda: ours.teach(images, config),
                                         lambda: plain.teach(images, config), 20),
    }
    rows = []
    for label, (ours_fn, plain_fn, number) in cases.items():
        t_ours, t_plain = best_of_pair(ours_fn, plain_fn, args.repeat, number)
        rows.append({"case": label, "ours_us": t_ours * 1e6, "plain_us": t_plain * 1e6, "ratio": t_ours / t_plain})

    env = {**versions(), "same_model_state": same_state}
    if args.json:
        print(json.dumps({"env": env, "results": rows}, indent=1))
        return 0
    print(f"Python {env['python']}, NumPy {env['numpy']}, OpenCV {env['opencv']}, {env['cpus']} CPUs; "
          f"instant runner; model state identical to the plain version: {same_state}")
    for r in rows:
        print(f"{r['case']:22} {r['ours_us']:8.2f} us  {r['ratio']:.2f}x vs plain Python ({r['plain_us']:.2f} us)")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
