"""The reliability programs at a size that fits the everyday suite: fixed
seeds, small counts. scripts/reliability.sh runs them at full size through
the same environment variables."""
import os

import busfuzz
import crashrestart
import storefuzz


def env_int(name, default):
    return int(os.environ.get(name, default))


def seeds(name, default):
    return [int(s) for s in os.environ.get(name, default).split(",")]


def test_bus_fuzz_keeps_the_daemon_alive_and_running_state_true(build_dir):
    for seed in seeds("PATROLD_FUZZ_SEEDS", "7"):
        figures = busfuzz.fuzz(seed, calls=env_int("PATROLD_FUZZ_CALLS", 1500),
                               seconds=env_int("PATROLD_FUZZ_SECONDS", 60),
                               build_dir=build_dir)
        assert figures["messages"] == env_int("PATROLD_FUZZ_CALLS", 1500), figures


def test_hostile_stores_never_make_the_daemon_abort(build_dir):
    rounds = env_int("PATROLD_STORE_ROUNDS", 3)
    figures = storefuzz.fuzz(env_int("PATROLD_STORE_SEED", 11), rounds, build_dir)
    assert figures["clean_exits"] == rounds, figures


def test_killed_daemon_resumes_its_tours_and_bursts_end_on_the_last_request(build_dir):
    figures = crashrestart.run(cycles=env_int("PATROLD_CRASH_CYCLES", 2),
                               requests=1000, build_dir=build_dir)
    assert figures["burst_final_running"] == {1000: "no", 1001: "yes"}, figures
