"""The patrold process: command line, log identity, account switch, SIGTERM."""
import os
import re
import signal

import pytest

from conftest import (ROOT_GROUP, ROOT_PASSWD, SERVICE, SERVICE_GROUP,
                      SERVICE_PASSWD, wait_until)

LOG_USER, LOG_DAEMON = 1 << 3, 3 << 3
LOG_ERR, LOG_INFO = 3, 6
LINE = re.compile(r"^<(\d+)> ([^:\[]+)(?:\[(\d+)\])?: (.*)$")


def parse(line):
    match = LINE.match(line)
    assert match, f"unexpected syslog line {line!r}"
    prio, ident, pid, message = match.groups()
    return int(prio), ident, int(pid) if pid else None, message


def test_foreground_run_logs_under_its_identity_and_exits_cleanly(
        start_patrold, syslog_file, bus, tmp_path):
    # A full path as argv[0]: the identity must be its last component.
    daemon = start_patrold(argv0="/opt/vendor/sbin/patrold", cwd=tmp_path)
    assert os.readlink(f"/proc/{daemon.pid}/cwd") == str(tmp_path)
    assert bus.owner_pid(SERVICE) == daemon.pid

    assert daemon.stop() == 0
    assert not bus.has_owner(SERVICE)

    entries = [parse(line) for line in syslog_file.lines()]
    # Logged before openlog: the library's default identity, facility and no pid.
    assert entries[0] == (LOG_USER | LOG_INFO, "patrold", None, "Starting up...")
    for prio, ident, pid, _ in entries[1:]:
        assert (prio & ~7, ident, pid) == (LOG_DAEMON, "patrold", daemon.pid)
    assert entries[-1] == (LOG_DAEMON | LOG_INFO, "patrold", daemon.pid, "Exiting...")


@pytest.mark.parametrize("args", [(), ("-x",), ("-n", "-n"), ("-N",), ("-n ",)],
                         ids=["none", "other", "n-plus-more", "upper-N", "n-space"])
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
    for _, _, _, message in map(parse, syslog_file.lines()):
        assert not any(arg.strip() in message for arg in args)


def test_second_sigterm_after_the_first_is_harmless(start_patrold, syslog_file):
    daemon = start_patrold()
    os.kill(daemon.pid, signal.SIGTERM)
    # The second one may arrive during shutdown; it must not change the exit.
    try:
        os.kill(daemon.pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    assert daemon.proc.wait(timeout=15) == 0
    assert syslog_file.messages()[-1] == "Exiting..."


OK_FILES = dict(passwd=(ROOT_PASSWD, SERVICE_PASSWD), group=(ROOT_GROUP, SERVICE_GROUP))

SWITCH_FAILURES = {
    "no-user": (dict(OK_FILES, passwd=(ROOT_PASSWD,)), None,
                'Couldn\'t get uid for user "patrold".\n'),
    "no-group": (dict(OK_FILES, group=(ROOT_GROUP,)), None,
                 'Couldn\'t get gid for group "patrold".\n'),
    "gid-refused": (OK_FILES, (1000, 1000),
                    "Failed setting gid to 991: Operation not permitted\n"),
    "uid-invalid": (dict(OK_FILES, passwd=(
        ROOT_PASSWD, "patrold:x:4294967295:991::/nonexistent:/bin/false")),
        None, "Failed setting uid to -1: Invalid argument\n"),
}


@pytest.mark.parametrize("files,initial_ids,stderr", SWITCH_FAILURES.values(),
                         ids=SWITCH_FAILURES.keys())
def test_failed_account_switch_exits_1(start_patrold, wrappers, syslog_file, bus,
                                       files, initial_ids, stderr):
    wrappers.write(**files)
    daemon = start_patrold(wait=False, initial_ids=initial_ids)
    assert daemon.proc.wait(timeout=10) == 1
    assert daemon.proc.stderr.read() == stderr
    assert syslog_file.lines()[-1] == \
        f"<{LOG_DAEMON | LOG_ERR}> patrold[{daemon.pid}]: Failed to switch user"
    assert not bus.has_owner(SERVICE)


def test_group_is_looked_up_by_name_not_taken_from_the_user(start_patrold, wrappers):
    # Unprivileged fake ids may only "change" to the ids they already have:
    # the switch succeeds only if the gid comes from the group entry (992).
    wrappers.write(passwd=(ROOT_PASSWD, SERVICE_PASSWD),
                   group=(ROOT_GROUP, "patrold:x:992:"))
    daemon = start_patrold(initial_ids=(991, 992))
    assert daemon.answers()
    assert daemon.stop() == 0
