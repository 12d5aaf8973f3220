"""The demo, run briefly: both heads must walk their tours in the configured
order, and everything the demo started must be gone afterwards."""
import json
import os
import pathlib
import re
import subprocess

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent
CAMERA_ORDER = {1: [1, 5, 3], 2: [8, 2]}
# A head reaches a preset about every 2 s (1 s dwell and the move): 20 s
# gives several times the arrivals that one round of each tour needs.
SECONDS = 20


def test_demo_tours_both_heads_in_order_and_cleans_up(build_dir, tmp_path):
    assert os.geteuid() == 0, "the demo needs root to start patrold with its account switch"
    state, run = tmp_path / "state.json", tmp_path / "run"
    # The account switch runs under uid_wrapper/nss_wrapper so that the test
    # leaves the machine's user database alone.
    result = subprocess.run(
        [str(ROOT / "scripts" / "demo.sh"), "--seconds", str(SECONDS), "--no-clear",
         "--dir", str(run),
         "--state-file", str(state), "--build-dir", str(build_dir), "--wrapped-account"],
        capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert f"log lines are in {run}/patrold.log" in result.stdout
    assert "Starting up..." in (run / "patrold.log").read_text()

    cameras = {c["camera"]: c["history"] for c in json.loads(state.read_text())["cameras"]}
    for camera, order in CAMERA_ORDER.items():
        history = cameras[camera]
        assert len(history) >= len(order), (camera, history)
        # from the first preset on, each one is the next of the cycle
        assert history == [order[i % len(order)] for i in range(len(history))], \
            (camera, history)

    pids = [int(p) for p in re.search(r"stopped process ids ([\d ]+)",
                                      result.stdout).group(1).split()]
    assert len(pids) == 3
    assert [pid for pid in pids if pathlib.Path(f"/proc/{pid}").exists()] == []
