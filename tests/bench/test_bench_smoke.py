"""bench/run --quick completes against the build and writes every figure.

The performance targets are benchmark targets, checked by reading a full
run's output, never here: this only proves the benchmark still works.
"""
import json
import math
import pathlib
import subprocess

ROOT = pathlib.Path(__file__).resolve().parents[2]

FIGURES = {
    "managed_objects": ["patrold_p50_us", "minimal_p50_us", "p50_ratio"],
    "roundtrip": ["patrold_p50_us", "patrold_p99_us", "minimal_p50_us",
                  "minimal_p99_us", "p50_ratio"],
    "pipelining": ["patrold_rps", "minimal_rps", "ratio"],
    "idle": ["patrold_ctx_switches", "patrold_rss_kb", "patrold_pss_kb",
             "minimal_rss_kb", "minimal_pss_kb", "rss_ratio", "pss_ratio"],
    "active": ["cpu_percent", "wakeups_per_s"],
    "running_write": ["p50_ms", "p99_ms"],
    "startup": ["calls_per_tour", "ms_per_1000_tours"],
}


def test_quick_run_writes_every_figure(build_dir, tmp_path):
    out = tmp_path / "bench.json"
    result = subprocess.run(
        [str(ROOT / "bench" / "run"), "--quick", "--build-dir", str(build_dir),
         "--json", str(out)],
        capture_output=True, text=True, timeout=240)
    assert result.returncode == 0, result.stderr
    assert "round trip p50" in result.stdout

    figures = json.loads(out.read_text())
    for section, names in FIGURES.items():
        for name in names:
            value = figures[section][name]
            assert isinstance(value, (int, float)) and math.isfinite(value), \
                (section, name, value)
    # Rates and sizes that came out as zero mean a stage measured nothing.
    assert figures["pipelining"]["patrold_rps"] > 0
    assert figures["idle"]["patrold_pss_kb"] > 0
    sizes = figures["startup"]["sizes"]
    assert [s["tours"] for s in sizes] == [10, 100]
    assert all(s["ms"] > 0 and s["cpu_ms"] > 0 and s["store_calls"] > 0
               for s in sizes)
    assert figures["machine"]["nproc"] >= 1
