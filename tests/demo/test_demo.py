"""The demo, run briefly: both heads must walk their tours in the configured
order, and everything the demo started must be gone afterwards."""
import json
import os
import pathlib
import re
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent
CAMERA_ORDER = {1: [1, 5, 3], 2: [8, 2]}


def follows_cycle(history, cycle):
    start = history.index(cycle[0])
    return all(p == cycle[(i) % len(cycle)] for i, p in enumerate(history[start:]))


@pytest.fixture(scope="module")
def demo_run(build_dir, tmp_path_factory):
    if os.geteuid() != 0:
        pytest.fail("the demo needs root to start patrold with its account switch")
    folder = tmp_path_factory.mktemp("demo")
    state = folder / "state.json"
    # The account switch runs under uid_wrapper/nss_wrapper so that the test
    # leaves the machine's user database alone.
    result = subprocess.run(
        [str(ROOT / "scripts" / "demo.sh"), "--seconds", "8", "--no-clear",
         "--dir", str(folder / "run"), "--state-file", str(state),
         "--build-dir", str(build_dir), "--wrapped-account"],
        capture_output=True, text=True, timeout=120)
    return result, state, folder / "run"


def test_demo_ends_cleanly(demo_run):
    result, _, run = demo_run
    assert result.returncode == 0, result.stderr
    assert f"log lines are in {run}/patrold.log" in result.stdout
    assert "Starting up..." in (run / "patrold.log").read_text()


def test_heads_visit_presets_in_configured_order(demo_run):
    _, state, _ = demo_run
    cameras = {c["camera"]: c for c in json.loads(state.read_text())["cameras"]}
    for camera_id, order in CAMERA_ORDER.items():
        history = cameras[camera_id]["history"]
        assert len(history) >= len(order) + 1, (camera_id, history)
        assert history[:len(order)] == order, (camera_id, history)
        assert follows_cycle(history, order), (camera_id, history)


def test_nothing_left_running(demo_run):
    result, _, _ = demo_run
    stopped = re.search(r"stopped process ids ([\d ]+)", result.stdout)
    assert stopped, result.stdout
    pids = [int(p) for p in stopped.group(1).split()]
    assert len(pids) == 3
    for pid in pids:
        assert not pathlib.Path(f"/proc/{pid}").exists(), pid
