"""The patrold process: command line, log identity, account switch, SIGTERM,
and wake-ups."""
import os
import pathlib
import re
import signal
import time

import pytest

from conftest import (ROOT_GROUP, ROOT_PASSWD, SERVICE, SERVICE_GROUP, SERVICE_PASSWD,
                      tour_lines, wait_until)

LOG_USER, LOG_DAEMON = 1 << 3, 3 << 3
LOG_ERR, LOG_INFO = 3, 6
LINE = re.compile(r"^<(\d+)> ([^:\[]+)(?:\[(\d+)\])?: (.*)$")


def parse(line):
    prio, ident, pid, message = LINE.match(line).groups()
    return int(prio), ident, int(pid) if pid else None, message


ACCOUNTS = {  # files, fake ids at start
    "as-root": ((ROOT_GROUP, SERVICE_GROUP), None),
    # Unprivileged fake ids may only "change" to the ids they already have:
    # this works only if the gid comes from the group entry, not the user's.
    "gid-from-group": ((ROOT_GROUP, "patrold:x:992:"), (991, 992)),
}


@pytest.mark.parametrize("group,initial_ids", ACCOUNTS.values(), ids=ACCOUNTS.keys())
def test_foreground_run_switches_account_logs_and_exits_cleanly(
        start_patrold, wrappers, syslog_file, bus, tmp_path, group, initial_ids):
    wrappers.write(group=group)
    # A full path as argv[0]: the identity must be its last component.
    daemon = start_patrold(argv0="/opt/vendor/sbin/patrold", cwd=tmp_path,
                           initial_ids=initial_ids)
    assert os.readlink(f"/proc/{daemon.pid}/cwd") == str(tmp_path)
    assert bus.owner_pid(SERVICE) == daemon.pid
    assert daemon.stop() == 0
    assert not bus.has_owner(SERVICE)

    entries = [parse(line) for line in syslog_file.lines()]
    # Logged before openlog: the library's default identity, facility and no pid.
    assert entries[0] == (LOG_USER | LOG_INFO, "patrold", None, "Starting up...")
    assert {(prio & ~7, ident, pid) for prio, ident, pid, _ in entries[1:]} == \
        {(LOG_DAEMON, "patrold", daemon.pid)}
    assert entries[-1] == (LOG_DAEMON | LOG_INFO, "patrold", daemon.pid, "Exiting...")


@pytest.mark.parametrize("args", [(), ("-n", "-n"), ("-N",), ("-n ",)])
def test_anything_but_a_lone_dash_n_detaches(start_patrold, syslog_file, bus, args):
    daemon = start_patrold(args=args, wait=False)
    assert daemon.proc.wait(timeout=10) == 0  # the invoking process
    assert wait_until(lambda: bus.has_owner(SERVICE)), "detached daemon not on the bus"
    pid = bus.owner_pid(SERVICE)
    try:
        assert pid != daemon.pid
        assert os.readlink(f"/proc/{pid}/cwd") == "/"
    finally:
        os.kill(pid, signal.SIGTERM)
        assert wait_until(lambda: not os.path.exists(f"/proc/{pid}/status")
                          or "State:\tZ" in open(f"/proc/{pid}/status").read())
    assert syslog_file.messages()[-1] == "Exiting..."


SWITCH_FAILURES = {
    "no-user": ((ROOT_PASSWD,), (ROOT_GROUP, SERVICE_GROUP), None,
                'Couldn\'t get uid for user "patrold".\n'),
    "no-group": ((ROOT_PASSWD, SERVICE_PASSWD), (ROOT_GROUP,), None,
                 'Couldn\'t get gid for group "patrold".\n'),
    "gid-refused": ((ROOT_PASSWD, SERVICE_PASSWD), (ROOT_GROUP, SERVICE_GROUP), (1000, 1000),
                    "Failed setting gid to 991: Operation not permitted\n"),
}


@pytest.mark.parametrize("passwd,group,initial_ids,stderr", SWITCH_FAILURES.values(),
                         ids=SWITCH_FAILURES.keys())
def test_failed_account_switch_exits_1(start_patrold, wrappers, syslog_file, bus,
                                       passwd, group, initial_ids, stderr):
    wrappers.write(passwd, group)
    daemon = start_patrold(wait=False, initial_ids=initial_ids)
    assert daemon.proc.wait(timeout=10) == 1
    assert daemon.proc.stderr.read() == stderr
    assert syslog_file.lines()[-1] == \
        f"<{LOG_DAEMON | LOG_ERR}> patrold[{daemon.pid}]: Failed to switch user"
    assert not bus.has_owner(SERVICE)


def wakeups_per_second(pid, window=2.0):
    def switches():
        return sum(int(line.split()[1])
                   for status in pathlib.Path(f"/proc/{pid}/task").glob("*/status")
                   for line in status.read_text().splitlines()
                   if line.startswith("voluntary_ctxt_switches:"))
    before = switches()
    time.sleep(window)
    return (switches() - before) / window


def test_only_a_playing_tour_wakes_the_daemon_for_its_tick(seed, paramctl, ptz_sim,
                                                           patrold):
    # One point with a long dwell: after arriving, only the tick runs.
    seed(tour_lines(1, camera=1, presets=(3,), wait=60))
    time.sleep(0.5)  # start-up traffic (name, match rules) dies down
    assert wakeups_per_second(patrold.pid) == 0
    patrold.play(1)
    assert ptz_sim.wait_history(1, 1)
    assert wait_until(lambda: not ptz_sim.camera(1)["moving"])
    # The 100 ms tick is 10 a second; a keepalive exchange (every 10 s) may
    # fall into the window and add a few. Any other timer would show.
    assert 9 <= wakeups_per_second(patrold.pid, window=3.0) <= 12
    patrold.stop_tour(1)
    assert paramctl.wait_running(1, "no")
    time.sleep(0.5)  # the tick goes at the next processing run
    assert wakeups_per_second(patrold.pid) == 0
