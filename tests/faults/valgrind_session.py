"""A busy session of the daemon for a memory checker, run by
`scripts/sanitize.sh valgrind` with PATROLD_WRAPPER putting memcheck in
front of patrold (the file name keeps it out of the ordinary suite).

Over about 20 s it walks every road that allocates: recovery at start-up,
plays of ordered and random tours, pause and resume, a hold by another
client, failing coordinator calls, block and unblock, stops from the bus and
from the store, a driver uninstall; then SIGTERM. memcheck's exit status
(99 on any error or definite leak) is the daemon's exit status here."""
import os
import time

from conftest import tour_lines, wait_until

SESSION_S = 20.0


def test_busy_session_exits_cleanly(seed, paramctl, ptz_sim, start_patrold):
    assert "valgrind" in os.environ.get("PATROLD_WRAPPER", ""), \
        "run me through scripts/sanitize.sh valgrind"
    seed(tour_lines(1, camera=1, presets=(1, 2, 3))
         + tour_lines(2, camera=2, presets=(4, 5, 6), random="yes")
         + tour_lines(3, camera=3, presets=(7, 8), running="yes")
         + tour_lines(4, camera=4, presets=(2, 9)))
    daemon = start_patrold()
    assert paramctl.wait_running(3, "yes", timeout=30)  # recovered at start-up
    start = time.monotonic()
    rounds = 0
    while time.monotonic() - start < SESSION_S:
        rounds += 1
        daemon.play(1)
        daemon.play(2)
        assert ptz_sim.wait_history(1, 2, timeout=30)
        daemon.pause(1)
        ptz_sim.control("TakeControl", "(is)", (2, "Operator"))
        ptz_sim.control("SetFailure", "(isii)", (1, "QueryPosition", 124, 2))
        ptz_sim.control("SetFailure", "(isii)", (1, "Queue", 125, 1))
        daemon.resume(1)
        ptz_sim.control("ReleaseControl", "(is)", (2, "Operator"))
        daemon.block(3)
        assert paramctl.wait_running(3, "no", timeout=30)
        daemon.unblock(3)
        daemon.play(3)
        daemon.play(4)  # camera 4's engine is created and stopped each round
        assert ptz_sim.wait_history(2, 2, timeout=30)
        daemon.stop_tour(2)
        daemon.set_running("no", "G4")
        assert paramctl.run("set", "root.RezazErar.G1.Running=no").returncode == 0
        assert paramctl.wait_running(1, "no", timeout=30)
    ptz_sim.control("UninstallDriver", "(i)", (4,))
    assert wait_until(lambda: "G4" not in paramctl.groups(), timeout=30)
    assert daemon.answers()
    assert rounds >= 2
    assert daemon.stop(timeout=120) == 0, daemon.proc.stderr.read()[-4000:]
