"""What the NORIM inspector adds around the model: inspect (no overlay) and teach (50 images).

The runner's members are replaced by ones that return at once, so only the inspector's own work is
timed: configuration merge, bundle choice, validation, statistics, rounding and the result records.
The baseline is the same sequence of steps written in plain Python below, run in the same process on
the same data. A ratio below 1.0 means the extension adds less than the plain Python version would.

    python bench/bench_inspector.py          # table
    python bench/bench_inspector.py --json   # machine-readable output
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import platform
import sys
import time
from pathlib import Path
from typing import Any

import cv2
import numpy as np

try:
    import qorva.inspection.modules.norim.inspector  # noqa: F401  (installed package)
except ImportError:  # a source checkout with the extensions built in place (make native)
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))

from qorva.inspection.base import ModelState  # noqa: E402
from qorva.inspection.modules.anomaly import anomaly_map as amap_render  # noqa: E402
from qorva.inspection.modules.norim import inspector, runner  # noqa: E402
from qorva.schemas.common import InspectionResult, Verdict  # noqa: E402
from qorva.utils.imaging import validate_image  # noqa: E402

logger = logging.getLogger("qorva.inspection.norim")
_DEFAULTS: dict[str, Any] = {"weights": None, "sigma": 2.0, "device": None}
_LABELS = {
    "structural": "구조(국소 결함)",
    "mahalanobis": "마할라노비스(전역 특징분포)",
    "logical": "논리(구성·개수, patch-hist)",
}
_BACKBONE = "EfficientAD(구조) + global Maha(map-free) + CSAD patch-hist(논리), AMP"


class PlainNorim:
    """The inspector's steps in plain Python: the baseline."""

    name = "norim"

    def _cfg(self, config: dict[str, Any], state_params: dict | None = None) -> dict[str, Any]:
        cfg = dict(_DEFAULTS)
        if state_params:
            cfg.update({k: state_params[k] for k in _DEFAULTS if k in state_params})
        cfg.update({k: v for k, v in config.items() if v is not None})
        return cfg

    @staticmethod
    def _bundle_name(cfg: dict[str, Any], product_id: str) -> str:
        return cfg.get("weights") or product_id

    def teach(self, images: list[np.ndarray], config: dict[str, Any]) -> ModelState:
        if not images:
            raise ValueError("teach: good samples are required (20-50 recommended)")
        for img in images:
            validate_image(img)
        cfg = self._cfg(config)
        product_id = config.get("product_id", "unknown")
        bundle_name = self._bundle_name(cfg, product_id)
        try:
            bundle = runner.get_bundle(bundle_name, cfg["device"])
        except runner.NorimError as exc:
            msg = f"{exc}\n→ 티칭에서 NORIM 학습을 돌려 norim/{bundle_name}/ 번들을 먼저 생성하세요."
            raise ValueError(msg) from exc
        device = bundle["device"]
        good_scores = runner.score_good_images(bundle, images)
        gs = np.asarray(good_scores, dtype=np.float64)
        if len(gs) == 0:
            raise ValueError(f"teach: the runner returned no good-sample scores for bundle {bundle_name!r}")
        finite = np.isfinite(gs)
        if not finite.all():
            bad = int((~finite).sum())
            raise ValueError(f"양품 점수에 비정상값(NaN/inf) {bad}/{len(gs)} — 번들/통계 손상 또는 전처리 불일치.")
        mean = float(gs.mean())
        std = float(gs.std())
        if std <= 1e-9:
            std = 1.0
        sigma = float(cfg["sigma"])
        threshold = mean + std * sigma
        if not (np.isfinite(sigma) and np.isfinite(threshold)):
            raise ValueError(f"teach: sigma must be a finite number, got {cfg['sigma']!r}")
        n_bad = int((gs > threshold).sum())
        fp_rate = n_bad / len(gs)
        sigma_no_fp = float((gs.max() - mean) / std) if len(gs) > 1 else None
        params = dict(cfg)
        params.update({
            "product_id": product_id,
            "weights": bundle_name,
            "n_good": len(images),
            "good_score_mean": mean,
            "good_score_max": float(gs.max()),
            "good_scores": [round(float(s), 4) for s in good_scores],
            "device": device,
            "threshold_source": "good_mean+sigma*std",
            "expected_fp_rate": round(fp_rate, 4),
            "expected_fp_count": n_bad,
            "sigma_for_zero_fp": None if sigma_no_fp is None else round(sigma_no_fp, 2),
        })
        if n_bad:
            logger.info("norim teach: threshold=%.4f (sigma=%s) — %d/%d of the good samples would be judged NG "
                        "(%.0f%%). Raise sigma to %.2f for none.", threshold, cfg["sigma"], n_bad, len(gs),
                        fp_rate * 100, sigma_no_fp or 0.0)
        return ModelState(module=self.name, product_id=product_id, threshold=threshold, params=params)

    def inspect(self, image: np.ndarray, model_state: ModelState | None, *, with_overlay: bool = True):
        if model_state is None:
            return InspectionResult.error(self.name, "product is not taught yet (run teach, or place a trained bundle)")
        validate_image(image)
        cfg = self._cfg({}, model_state.params)
        bundle_name = self._bundle_name(cfg, model_state.product_id)
        try:
            bundle = runner.get_bundle(bundle_name, cfg["device"])
            score, amap, parts = runner.score_image(bundle, image, with_map=with_overlay)
        except runner.NorimError as exc:
            return InspectionResult.error(self.name, str(exc))
        threshold = model_state.threshold
        if not np.isfinite(score) or not np.isfinite(threshold):
            return InspectionResult.error(self.name, f"runner returned a non-finite score {score!r}")
        verdict = Verdict.NG if score > threshold else Verdict.OK
        overlay = None
        if with_overlay and amap is not None and amap.size > 0:
            m = float(amap.max())
            overlay = amap_render.render_overlay(image, amap.astype(np.float32), m * 0.5 if m > 1e-9 else 1e-6)
        dominant = max(parts, key=parts.__getitem__)
        details = {
            "ratio_over_threshold": round(score / threshold, 3) if threshold else None,
            "backbone": _BACKBONE,
            "branch": {k: round(v, 4) for k, v in parts.items()},
            "dominant_branch": dominant,
            "dominant_label": _LABELS[dominant],
            "localizable": dominant == "structural",
        }
        return InspectionResult(verdict=verdict, score=round(score, 4), threshold=round(threshold, 4),
                                module=self.name, details=details, overlay=overlay)


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

    env = {
        "python": platform.python_version(),
        "numpy": np.__version__,
        "opencv": cv2.__version__,
        "cpus": os.cpu_count(),
        "same_model_state": same_state,
    }
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
