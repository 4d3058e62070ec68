"""The review round trip: false NGs overruled on the live page, then teach (and train) --add-reviewed.

A board (the demo's assembly, 256 px) is trained and taught with the shipped model; a lot of its parts arrives
under a dimmer lamp (`--gain`) with some defects among them, and `watch --serve --token-file` judges it.
Through the page's own endpoint (the POST its buttons send, with a token) the first `--overrule` good parts
judged NG are marked "good part" and every defect judged NG "defect confirmed". Then, as commands:
`qorva evaluate` (held-out good images; the confirmed defects are added by themselves), `qorva teach
--add-reviewed`, the overruled images inspected again, `evaluate` again; and `train --add-reviewed` with a
candidate teach, evaluated too. Printed: how many overruled images are OK after each, the recall on the
confirmed defects before and after, false positives on the held-out good images and on the lot's good
parts nobody reviewed.

    python bench/bench_review.py                 # 40 dimmer good parts, 8 defects, 20 overruled
    python bench/bench_review.py --backbone none # the weight-free model (seconds)
"""

from __future__ import annotations

import argparse
import json
import re
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

import cv2
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

from _common import versions  # noqa: E402
from qorva.demo import synthetic  # noqa: E402

_KINDS = ("scratch", "spot", "missing", "wrong_colour")
_TOKEN = "bench-token-" + "r" * 20


def _command(backbone: str) -> list[str]:
    """`qorva` with the default feature network chosen (the weight-free one is seconds to train)."""
    code = ("import sys; from qorva.inspection.modules.norim.runner import choices; "
            f"choices.DEFAULT_BACKBONE = {backbone!r}; from qorva.cli.__main__ import main; "
            "sys.exit(main(sys.argv[1:]))")
    return [sys.executable, "-c", code]


def _qorva(home: Path, *args: object, backbone: str) -> str:
    done = subprocess.run([*_command(backbone), *map(str, args), "--home", str(home), "--quiet"],
                          capture_output=True, text=True, check=False)
    if done.returncode:
        msg = f"qorva {args[0]} failed: {done.stderr[-2000:]}"
        raise SystemExit(msg)
    return done.stdout


def _write(folder: Path, images: list[np.ndarray], names: list[str]) -> None:
    folder.mkdir(parents=True, exist_ok=True)
    for im, name in zip(images, names, strict=True):
        cv2.imwrite(str(folder / name), im)


def _data(root: Path, n_good: int, n_bad: int, gain: float) -> None:
    goods = synthetic.good_images("assembly", 24 + 16 + 16 + n_good, 7, size=256)
    _write(root / "train", goods[:24], [f"t{i:03d}.png" for i in range(24)])
    _write(root / "teach", goods[24:40], [f"u{i:03d}.png" for i in range(16)])
    _write(root / "good", goods[40:56], [f"h{i:03d}.png" for i in range(16)])
    dim = [(g.astype(np.float32) * gain).astype(np.uint8) for g in goods[56:]]
    bad = [(synthetic.defect_image("assembly", _KINDS[i % 4], 8, index=i // 4, size=256)[0].astype(np.float32)
            * gain).astype(np.uint8) for i in range(n_bad)]
    _write(root / "lot", dim + bad, [f"good-{i:03d}.png" for i in range(n_good)]
           + [f"{_KINDS[i % 4]}-{i:03d}.png" for i in range(n_bad)])


def _post(url: str, body: dict) -> dict:
    request = urllib.request.Request(url, data=json.dumps(body).encode(), method="POST", headers={
        "Content-Type": "application/json", "Authorization": f"Bearer {_TOKEN}"})
    with urllib.request.urlopen(request, timeout=30) as r:
        return json.load(r)


def _watch_and_review(root: Path, home: Path, n: int, overrule: int, backbone: str) -> tuple[list[str], int]:
    """The lot through `watch --serve`; reviews through the page's endpoint. The overruled files, and the
    number of defects confirmed."""
    drop = root / "drop"
    drop.mkdir()
    (root / "tokens.txt").write_text(f"bench {_TOKEN}\n", encoding="utf-8")
    (root / "tokens.txt").chmod(0o600)
    proc = subprocess.Popen([*_command(backbone), "watch", "--product", "board", "--folder", str(drop),
                             "--ready-policy", "none", "--serve", "127.0.0.1:0", "--token-file",
                             str(root / "tokens.txt"), "--home", str(home), "--quiet", "--format", "jsonl"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = re.search(r"live page (http://\S+/)", proc.stderr.readline()).group(1)
        for f in sorted((root / "lot").iterdir()):
            (drop / f.name).write_bytes(f.read_bytes())
        rows = [json.loads(proc.stdout.readline()) for _ in range(n)]
        ng = [r for r in rows if r["verdict"] == "NG"]
        false_ng = [r for r in ng if r["source_file"].startswith("good-")][:overrule]
        for r in false_ng:  # what a person does on the page: "good part"
            _post(url + "review", {"row": r["id"], "decision": "good", "note": "the lamp, not the part"})
        confirmed = [r for r in ng if not r["source_file"].startswith("good-")]
        for r in confirmed:
            _post(url + "review", {"row": r["id"], "decision": "defect"})
        print(f"lot: {n} images, NG {len(ng)} ({len(ng) - len(confirmed)} of them good parts); overruled "
              f"{len(false_ng)}, confirmed {len(confirmed)} defects on the page")
    finally:
        proc.terminate()
        proc.communicate(timeout=60)
    return [r["source_file"] for r in false_ng], len(confirmed)


def _evaluate(home: Path, root: Path, backbone: str, *extra: str) -> dict:
    return json.loads(_qorva(home, "evaluate", "--product", "board", "--good", root / "good", "--format", "json",
                             *extra, backbone=backbone))["figures"]


def _ok(home: Path, folder: Path, names: list[str], backbone: str) -> tuple[int, int, int]:
    """(OK among `names`, OK among the other good parts of `folder`, how many those are)."""
    judged = json.loads(_qorva(home, "inspect", "--product", "board", folder, "--format", "json", backbone=backbone))
    mine = sum(r["verdict"] == "OK" for r in judged if r["source_file"] in names)
    rest = [r for r in judged if r["source_file"].startswith("good-") and r["source_file"] not in names]
    return mine, sum(r["verdict"] == "OK" for r in rest), len(rest)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--good", type=int, default=40, help="the lot's good parts")
    parser.add_argument("--bad", type=int, default=8, help="the lot's defects")
    parser.add_argument("--gain", type=float, default=0.88, help="the lamp on the lot against training")
    parser.add_argument("--overrule", type=int, default=20, help="false NGs overruled on the page")
    parser.add_argument("--backbone", default="lite0", choices=("lite0", "none"))
    args = parser.parse_args()
    print(f"versions: {versions()}")
    with tempfile.TemporaryDirectory(prefix="qorva-review-") as tmp:
        root, home = Path(tmp), Path(tmp) / "home"
        _data(root, args.good, args.bad, args.gain)
        t0 = time.perf_counter()
        b = args.backbone
        _qorva(home, "train", "--product", "board", "--good", root / "train", backbone=b)
        _qorva(home, "teach", "--product", "board", "--good", root / "teach", backbone=b)
        names, n_confirmed = _watch_and_review(root, home, args.good + args.bad, args.overrule, b)
        before = _evaluate(home, root, b)
        processed = root / "drop" / "_processed"
        lines = [("taught on the teach folder (sigma 2)", before, _ok(home, processed, names, b))]
        _qorva(home, "teach", "--product", "board", "--good", root / "teach", "--add-reviewed", backbone=b)
        lines.append(("teach --add-reviewed", _evaluate(home, root, b), _ok(home, processed, names, b)))
        _qorva(home, "train", "--product", "board", "--good", root / "train", "--add-reviewed", backbone=b)
        _qorva(home, "teach", "--product", "board", "--good", root / "teach", "--add-reviewed", backbone=b)
        lines.append(("train + teach --add-reviewed (v2)", _evaluate(home, root, b), _ok(home, processed, names, b)))
        print(f"{'model':<36} {'overruled OK':>12} {'lot good OK (not reviewed)':>27} {'recall confirmed':>17} "
              f"{'FP held-out':>11} {'AUROC':>6}")
        for what, fig, (mine, rest, n_rest) in lines:
            print(f"{what:<36} {mine:>5} of {len(names):<4} {rest:>16} of {n_rest:<6} {fig['recall']:>16.1%} "
                  f"{fig['fp_rate']:>11.1%} {fig['image_auroc']:>6.3f}")
        print(f"({n_confirmed} confirmed defects; {time.perf_counter() - t0:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
