"""NORIM anomaly inspector: judges product images with a structural and logical anomaly model.

Nothing is trained here. A product's bundle is trained offline and found by the model runner
(`runner.get_bundle`); teach scores the good samples with it and calibrates the OK/NG threshold
(mean good score + `sigma` population standard deviations), inspect scores one image against that
threshold. Everything inspect needs travels in the returned `ModelState`; the inspector keeps no state.

Logger: "qorva.inspection.norim" (information: how many good samples the new threshold would reject).
"""

from __future__ import annotations

import logging
from typing import Any

import numpy as np

from qorva.inspection.base import BaseInspector, ModelState
from qorva.schemas.common import InspectionResult

# Module globals read at every use, so hosts and tests can substitute their members.
from ..anomaly import anomaly_map as amap_render  # noqa: F401
from . import runner as runner

logger: logging.Logger
_DEFAULTS: dict[str, Any]
"""Configuration defaults, in this order: weights None, sigma 2.0, device None. Never modified."""

class NorimInspector(BaseInspector):
    """NORIM 구조+논리 이상 탐지 (추론 전용, AMP 100%; 학습은 오프라인 AMP 번들 사용).

    Configuration (teach's `config`; inspect uses the values stored at teach time):
        weights: str | None    bundle to load; empty or None loads the bundle named after the product
        sigma: float           threshold = good mean + sigma * good std (2.0); numeric text accepted
        device: str | None     device asked of the runner; None lets the runner choose
        product_id: str        the product ("unknown" when absent)
    """

    name: str
    """"norim": the framework's identifier, and the `module` of every state and result."""

    @classmethod
    def purge_artifacts(cls, product_id: str) -> int:
        """품종 삭제 시 _train/norim/ 의 재학습 캐시(수 GB)까지 정리. 번들은 품종 폴더 안이라 제외.

        Returns what the runner's `purge_train_cache` returns (bytes freed); its errors propagate.
        """
    def _cfg(self, config: dict[str, Any], state_params: dict | None = None) -> dict[str, Any]:
        """Effective configuration: _DEFAULTS, then the stored values of its keys, then every non-None config entry.

        The three default keys come first, in their order, followed by further keys of `config`.
        """
    @staticmethod
    def _bundle_name(cfg: dict[str, Any], product_id: str) -> str:
        """Bundle to load: cfg['weights'] when it is set, else the product id."""
    def teach(self, images: list[np.ndarray], config: dict[str, Any]) -> ModelState:
        """학습된 NORIM 번들 로드 + 양품 점수분포로 임계 보정(실학습 아님).

        Raises `ValueError` for no images, a bundle the runner cannot provide (its `NorimError` as the
        cause, with a line telling the operator to create the bundle), no scores, a NaN or infinite good
        score, or a sigma or threshold that is not finite. The state's `params` hold the configuration,
        the resolved bundle (`weights`), the device the bundle runs on, the good-score statistics and the
        expected false-positive rate and count, with the sigma that would have rejected no good sample.
        """
    def inspect(
        self, image: np.ndarray, model_state: ModelState | None, *, with_overlay: bool = True
    ) -> InspectionResult:
        """Judge one image against the taught threshold; an untaught product or a runner failure is an error result.

        NG when the score is strictly above the threshold. A score or threshold that is NaN or infinite
        is an error result, never OK. `details`: ratio_over_threshold, backbone, branch,
        dominant_branch, dominant_label, localizable. With `with_overlay` false no map is computed.
        """
