"""Import-time set-up, registration, the configuration merge, the bundle choice and the purge."""

from __future__ import annotations

import ast
import inspect
import subprocess
import sys
from pathlib import Path

import pytest

from qorva.inspection import registry
from qorva.inspection.base import BaseInspector
from qorva.inspection.modules.norim import inspector as inspector_module
from qorva.inspection.modules.norim import runner as runner_module
from qorva.inspection.modules.norim.inspector import NorimInspector


def test_module_registers_a_concrete_inspector_under_its_name():
    assert registry.get("norim") is NorimInspector
    assert NorimInspector.__bases__ == (BaseInspector,)
    assert isinstance(NorimInspector(), BaseInspector)
    assert inspector_module.logger.name == "qorva.inspection.norim"


_IMPORT_AND_REPORT = (
    "from qorva.inspection import registry\n"
    "try:\n"
    "    from qorva.inspection.modules.norim import inspector\n"
    "except ImportError as exc:\n"
    "    print('refused', type(exc.__cause__).__name__, exc.__cause__, registry.names())\n"
    "else:\n"
    "    print('bound', inspector.NorimInspector.__name__, registry.names())\n"
)


@pytest.mark.parametrize(("setup", "expected"), [
    pytest.param("sys.modules['qorva.utils.imaging'] = None",
                 "refused ModuleNotFoundError import of qorva.utils.imaging halted; None in sys.modules []",
                 id="missing-module"),
    pytest.param("import qorva.inspection.base as b; del b.ModelState",
                 "refused ImportError cannot import name 'ModelState' from 'qorva.inspection.base' []",
                 id="missing-name"),
    pytest.param("import qorva.inspection.registry as r; r.register = lambda cls: type('Wrapped', (cls,), {})",
                 "bound Wrapped []", id="module-keeps-what-register-returns"),
])
def test_import_binds_the_framework_or_fails_registering_nothing(setup, expected):
    code = "import sys\n" + setup + "\n" + _IMPORT_AND_REPORT
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, check=True)
    assert out.stdout.strip() == expected


@pytest.mark.parametrize(("owner", "doc"), [
    pytest.param(NorimInspector, "NORIM 구조+논리 이상 탐지 (추론 전용, AMP 100%; 학습은 오프라인 AMP 번들 사용).",
                 id="class"),
    pytest.param(NorimInspector.teach, "학습된 NORIM 번들 로드 + 양품 점수분포로 임계 보정(실학습 아님).", id="teach"),
    pytest.param(NorimInspector.purge_artifacts,
                 "품종 삭제 시 _train/norim/ 의 재학습 캐시(수 GB)까지 정리. 번들은 품종 폴더 안이라 제외.",
                 id="purge"),
])
def test_operator_facing_docstrings(owner, doc):
    assert owner.__doc__ == doc


@pytest.mark.parametrize(("config", "state_params", "expected"), [
    pytest.param({}, None, {"weights": None, "sigma": 2.0, "device": None}, id="defaults"),
    pytest.param({"sigma": 3.0, "product_id": "P1"}, None,
                 {"weights": None, "sigma": 3.0, "device": None, "product_id": "P1"}, id="extra-keys-follow"),
    pytest.param({"product_id": "P1", "device": "cpu"}, None,
                 {"weights": None, "sigma": 2.0, "device": "cpu", "product_id": "P1"}, id="default-keys-keep-order"),
    pytest.param({"sigma": None}, None, {"weights": None, "sigma": 2.0, "device": None}, id="none-never-overrides"),
    pytest.param({}, {"weights": "b1", "sigma": 2.5, "threshold": 0.7},
                 {"weights": "b1", "sigma": 2.5, "device": None}, id="stored-defaults-only"),
    pytest.param({"device": "cpu"}, {"device": None}, {"weights": None, "sigma": 2.0, "device": "cpu"},
                 id="config-beats-stored-none"),
    pytest.param({}, {"weights": "b1", "device": None, "sigma": 2.5},
                 {"weights": "b1", "sigma": 2.5, "device": None}, id="stored-none-kept-in-default-order"),
    pytest.param({"sigma": 4.0}, {"sigma": 2.5}, {"weights": None, "sigma": 4.0, "device": None},
                 id="config-beats-stored"),
    pytest.param({"device": None}, {"device": "cuda"}, {"weights": None, "sigma": 2.0, "device": "cuda"},
                 id="config-none-keeps-stored"),
    pytest.param({}, {}, {"weights": None, "sigma": 2.0, "device": None}, id="empty-state-as-none"),
])
def test_cfg_merges_defaults_state_and_config(norim, config, state_params, expected):
    merged = norim._cfg(config, state_params)
    assert list(merged.items()) == list(expected.items())


def test_cfg_result_is_a_fresh_copy(norim):
    first = norim._cfg({})
    first["sigma"] = 9.0
    first["extra"] = 1
    assert inspector_module._DEFAULTS == {"weights": None, "sigma": 2.0, "device": None}
    assert norim._cfg({}) == {"weights": None, "sigma": 2.0, "device": None}


def test_cfg_reads_defaults_at_call_time(norim, monkeypatch):
    monkeypatch.setattr(inspector_module, "_DEFAULTS", {"sigma": 1.0, "extra": "x"})
    assert norim._cfg({}, {"extra": "stored", "weights": "ignored"}) == {"sigma": 1.0, "extra": "stored"}


@pytest.mark.parametrize(("config", "state_params", "error"), [
    pytest.param(None, None, AttributeError, id="config-none"),
    pytest.param({}, 5, TypeError, id="state-without-membership"),
])
def test_cfg_lets_host_errors_through(norim, config, state_params, error):
    with pytest.raises(error):
        norim._cfg(config, state_params)


@pytest.mark.parametrize(("cfg", "expected"), [
    pytest.param({"weights": "line3"}, "line3", id="configured"),
    pytest.param({"weights": None}, "P1", id="none"),
    pytest.param({"weights": ""}, "P1", id="empty"),
    pytest.param({}, "P1", id="absent"),
])
@pytest.mark.parametrize("owner", ["class", "instance"])
def test_bundle_name_prefers_weights_over_product(cfg, expected, owner):
    target = NorimInspector if owner == "class" else NorimInspector()
    assert target._bundle_name(cfg, "P1") == expected


def test_purge_hands_the_product_to_the_runner(fake_runner, norim):
    assert NorimInspector.purge_artifacts("P7") == 1234
    assert norim.purge_artifacts(product_id="P8") == 1234
    assert fake_runner.called("purge_train_cache") == [("P7",), ("P8",)]
    assert [c[0] for c in fake_runner.calls] == ["purge_train_cache", "purge_train_cache"]


def test_purge_lets_runner_errors_through(monkeypatch):
    def failing(product_id):
        raise PermissionError(product_id)

    monkeypatch.setattr(runner_module, "purge_train_cache", failing)
    with pytest.raises(PermissionError, match="P1"):
        NorimInspector.purge_artifacts("P1")


def test_arguments_by_name(fake_runner, norim, images):
    state = norim.teach(config={"product_id": "P1"}, images=images)
    result = norim.inspect(model_state=state, image=images[0], with_overlay=False)
    assert (result.module, result.error_message) == ("norim", None)
    assert NorimInspector._bundle_name(product_id="P1", cfg={}) == "P1"


def _stub_signatures() -> dict[str, str]:
    tree = ast.parse(Path(inspector_module.__file__).with_name("inspector.pyi").read_text(encoding="utf-8"))
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "NorimInspector")
    out = {}
    for fn in (n for n in cls.body if isinstance(n, ast.FunctionDef)):
        for arg in [*fn.args.args, *fn.args.kwonlyargs]:
            arg.annotation = None
        out[fn.name] = f"({ast.unparse(fn.args)})"
    return out


def test_stub_matches_the_extension():
    runtime = {}
    for member, value in vars(NorimInspector).items():
        target = getattr(value, "__func__", value)
        if callable(target) and not member.startswith("__"):
            runtime[member] = str(inspect.signature(target))
    assert list(_stub_signatures().items()) == list(runtime.items())
