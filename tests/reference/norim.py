"""The NORIM inspector in plain Python: the oracle of the inspector tests and the baseline of its benchmark.

`NorimInspector` here is the extension's class member for member, with the same texts and host
lookups (the runner's members and `runner.NorimError` are resolved at call time, so the tests'
substitutes reach both). It is not registered with the host: the registry keeps the extension. The
tests run the same calls through both and compare results, model states, logs and errors (Python's
own argument errors included); each C++ member file names the member it mirrors here.
"""

from __future__ import annotations

import logging
import math
from typing import Any

import numpy as np

from qorva.inspection.base import BaseInspector, ModelState
from qorva.inspection.modules.anomaly import anomaly_map as amap_render
from qorva.inspection.modules.norim import runner
from qorva.schemas.common import InspectionResult, Verdict
from qorva.utils.imaging import validate_image

logger = logging.getLogger("qorva.inspection.norim")
_DEFAULTS: dict[str, Any] = {"weights": None, "sigma": 2.0, "device": None}
_LABELS = {
    "structural": "구조(국소 결함)",
    "mahalanobis": "마할라노비스(전역 특징분포)",
    "logical": "논리(구성·개수, patch-hist)",
}
_BACKBONE = "EfficientAD(구조) + global Maha(map-free) + CSAD patch-hist(논리), AMP"
_NOT_TAUGHT = "product is not taught yet (run teach, or place a trained bundle)"


class NorimInspector(BaseInspector):
    """NORIM 구조+논리 이상 탐지 (추론 전용, AMP 100%; 학습은 오프라인 AMP 번들 사용)."""

    name = "norim"

    @classmethod
    def purge_artifacts(cls, product_id: str) -> int:
        """품종 삭제 시 _train/norim/ 의 재학습 캐시(수 GB)까지 정리. 번들은 품종 폴더 안이라 제외."""
        return runner.purge_train_cache(product_id)

    def _cfg(self, config: dict[str, Any], state_params: dict | None = None) -> dict[str, Any]:
        cfg = dict(_DEFAULTS)
        if state_params:
            for key in _DEFAULTS:
                if key in state_params:
                    cfg[key] = state_params[key]
        for key, value in config.items():
            if value is not None:
                cfg[key] = value
        return cfg

    @staticmethod
    def _bundle_name(cfg: dict[str, Any], product_id: str) -> str:
        return cfg.get("weights") or product_id

    def teach(self, images: list[np.ndarray], config: dict[str, Any]) -> ModelState:
        """학습된 NORIM 번들 로드 + 양품 점수분포로 임계 보정(실학습 아님)."""
        if not images:
            msg = "teach: good samples are required (20-50 recommended)"
            raise ValueError(msg)
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
        n = gs.size
        if n == 0:  # the mean of nothing is NaN, and a NaN threshold would pass every image
            msg = f"teach: the runner returned no good-sample scores for bundle {bundle_name!r}"
            raise ValueError(msg)
        finite = np.isfinite(gs)
        if not finite.all():
            bad = int((~finite).sum())
            msg = f"양품 점수에 비정상값(NaN/inf) {bad}/{n} — 번들/통계 손상 또는 전처리 불일치."
            raise ValueError(msg)
        mean, std, top = float(gs.mean()), float(gs.std()), float(gs.max())
        sigma = float(cfg["sigma"])
        if not math.isfinite(sigma):
            msg = f"teach: sigma must be a finite number, got {cfg['sigma']!r} (bundle {bundle_name!r})"
            raise ValueError(msg)
        if std <= 1e-9:
            std = 1.0
        threshold = mean + std * sigma
        if not math.isfinite(threshold):
            msg = (f"teach: threshold mean {mean!r} + std {std!r} x sigma {sigma!r} is not finite "
                   f"(bundle {bundle_name!r})")
            raise ValueError(msg)
        n_bad = int((gs > threshold).sum())
        fp_rate = n_bad / n
        sigma_no_fp = (top - mean) / std if n > 1 else None
        params = dict(cfg)
        params.update({
            "product_id": product_id,
            "weights": bundle_name,
            "n_good": len(images),
            "good_score_mean": mean,
            "good_score_max": top,
            "good_scores": [round(float(s), 4) for s in good_scores],
            "device": device,
            "threshold_source": "good_mean+sigma*std",
            "expected_fp_rate": round(fp_rate, 4),
            "expected_fp_count": n_bad,
            "sigma_for_zero_fp": None if sigma_no_fp is None else round(sigma_no_fp, 2),
        })
        if n_bad:
            logger.info("norim teach: threshold=%.4f (sigma=%s) — %d/%d of the good samples would be judged NG "
                        "(%.0f%%). Raise sigma to %.2f for none.", threshold, cfg["sigma"], n_bad, n,
                        fp_rate * 100, sigma_no_fp or 0.0)
        return ModelState(module=self.name, product_id=product_id, threshold=threshold, params=params)

    def inspect(self, image: np.ndarray, model_state: ModelState | None, *, with_overlay: bool = True):
        if model_state is None:
            return InspectionResult.error(self.name, _NOT_TAUGHT)
        validate_image(image)
        cfg = self._cfg({}, model_state.params)
        bundle_name = self._bundle_name(cfg, model_state.product_id)
        try:
            bundle = runner.get_bundle(bundle_name, cfg["device"])
            score, amap, parts = runner.score_image(bundle, image, with_map=with_overlay)
        except runner.NorimError as exc:
            return InspectionResult.error(self.name, str(exc))
        threshold = model_state.threshold
        # Every comparison with NaN is false, so a NaN score or threshold would read as OK.
        if not math.isfinite(score):
            return InspectionResult.error(self.name, f"runner returned a non-finite score {score!r}; "
                                                     "the image cannot be judged")
        if not math.isfinite(threshold):
            return InspectionResult.error(self.name, f"model state holds a non-finite threshold {threshold!r}; "
                                                     "teach the product again")
        verdict = Verdict.NG if score > threshold else Verdict.OK
        overlay = None
        if with_overlay and amap is not None and amap.size > 0:
            m = float(amap.max())
            overlay = amap_render.render_overlay(image, amap.astype(np.float32), m * 0.5 if m > 1e-9 else 1e-6)
        dominant = max(parts, key=parts.get)
        localizable = dominant == "structural"
        details = {
            "ratio_over_threshold": round(score / threshold, 3) if threshold else None,
            "backbone": _BACKBONE,
            "branch": {k: round(v, 4) for k, v in parts.items()},
            "dominant_branch": dominant,
            "dominant_label": _LABELS[dominant],
            "localizable": localizable,
        }
        return InspectionResult(verdict=verdict, score=round(score, 4), threshold=round(threshold, 4),
                                module=self.name, details=details, overlay=overlay)
