"""bench/run --quick runs through and reports every target of the full run
(whether targets are met is the full run's business)."""
import json
import pathlib
import subprocess

ROOT = pathlib.Path(__file__).resolve().parents[2]
TARGETS = {"roundtrip_p50_ratio", "managed_objects_p50_ratio", "pipelining_ratio",
           "idle_ctx_switches", "idle_scheduled_ctx_switches", "idle_memory_ratio",
           "active_cpu_percent", "startup_added_ms_1000_over_10", "flood_rss_growth_kb",
           "flood_root_read_p99_ms"}


def test_quick_run_reports_every_target(build_dir, tmp_path):
    result = subprocess.run([ROOT / "bench" / "run", "--quick", "--build-dir", build_dir,
                             "--json", tmp_path / "bench.json"],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert set(json.loads((tmp_path / "bench.json").read_text())["targets"]) == TARGETS
