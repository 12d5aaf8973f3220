"""bench/run --quick: every target has its figure and every comparison is
computed from the numbers measured beside it (whether targets are met is not
checked here)."""
import json
import pathlib
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
# target -> (section, figure); None: measured by a full run only.
TARGET_FIGURES = {
    "roundtrip_p50_ratio": ("roundtrip", "p50_ratio"),
    "managed_objects_p50_ratio": ("managed_objects", "p50_ratio"),
    "pipelining_ratio": ("pipelining", "ratio"),
    "idle_ctx_switches": ("idle", "patrold_ctx_switches"),
    "idle_scheduled_ctx_switches": ("idle", "scheduled_ctx_switches"),
    "idle_memory_ratio": ("idle", "pss_ratio"),
    "active_cpu_percent": ("active", "cpu_percent"),
    "startup_added_ms_1000_over_10": None,
    "flood_rss_growth_kb": ("flood", "rss_growth_kb"),
    "flood_root_read_p99_ms": ("flood", "root_read_p99_ms"),
}
RATIOS = [("managed_objects", "p50_ratio", "patrold_p50_us", "minimal_p50_us"),
          ("roundtrip", "p50_ratio", "patrold_p50_us", "minimal_p50_us"),
          ("roundtrip", "p99_ratio", "patrold_p99_us", "minimal_p99_us"),
          ("pipelining", "ratio", "patrold_rps", "minimal_rps"),
          ("idle", "rss_ratio", "patrold_rss_kb", "minimal_rss_kb"),
          ("idle", "pss_ratio", "patrold_pss_kb", "minimal_pss_kb")]


def test_quick_run_measures_every_target_and_computes_its_comparisons(build_dir, tmp_path):
    result = subprocess.run([ROOT / "bench" / "run", "--quick", "--build-dir", build_dir,
                             "--json", tmp_path / "bench.json"],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    figures = json.loads((tmp_path / "bench.json").read_text())
    assert set(figures["targets"]) == set(TARGET_FIGURES)
    assert all(isinstance(figures[p[0]][p[1]], (int, float)) for p in TARGET_FIGURES.values() if p)
    for section, ratio, ours, theirs in RATIOS:
        measured = figures[section]
        assert measured[ours] > 0 and measured[theirs] > 0, (section, measured)
        assert measured[ratio] == pytest.approx(measured[ours] / measured[theirs]), ratio
        assert f"ratio {measured[ratio]:.2f}" in result.stdout, ratio
    assert figures["active"]["wakeups_per_s"] > 0  # ticking tours wake it
    sizes = figures["startup"]["sizes"]
    assert figures["startup"]["calls_per_tour"] == pytest.approx(
        (sizes[-1]["store_calls"] - sizes[0]["store_calls"])
        / (sizes[-1]["tours"] - sizes[0]["tours"]))
