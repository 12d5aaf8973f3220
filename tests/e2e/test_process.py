"""The patrold process: command line, log identity, account switch, SIGTERM, a lost bus."""
import os
import re
import signal

import pytest

from conftest import (ROOT_GROUP, ROOT_PASSWD, SERVICE, SERVICE_GROUP, SERVICE_PASSWD,
                      stop_process, wait_until)

LOG_USER, LOG_DAEMON, LOG_ERR, LOG_INFO = 1 << 3, 3 << 3, 3, 6


def parse(line):
    prio, ident, pid, message = re.match(r"^<(\d+)> ([^:\[]+)(?:\[(\d+)\])?: (.*)$", line).groups()
    return int(prio), ident, int(pid) if pid else None, message


ACCOUNTS = {  # group file, fake ids at start
    "as-root": ((ROOT_GROUP, SERVICE_GROUP), None),
    # Unprivileged fake ids may only "change" to the ids they already have:
    # this works only if the gid comes from the group entry, not the user's.
    "gid-from-group": ((ROOT_GROUP, "patrold:x:992:"), (991, 992)),
}


@pytest.mark.parametrize("group,initial_ids", ACCOUNTS.values(), ids=ACCOUNTS.keys())
def test_foreground_run_switches_account_logs_and_exits_cleanly(
        start_patrold, wrappers, bus, tmp_path, group, initial_ids):
    wrappers.write(group=group)
    # A full path as argv[0]: the identity must be its last component.
    daemon = start_patrold(argv0="/opt/vendor/sbin/patrold", cwd=tmp_path,
                           initial_ids=initial_ids)
    assert os.readlink(f"/proc/{daemon.pid}/cwd") == str(tmp_path)
    assert daemon.stop() == 0
    assert not bus.has_owner(SERVICE)
    entries = [parse(line) for line in wrappers.lines()]
    # Logged before openlog: the library's default identity, facility and no pid.
    assert entries[0] == (LOG_USER | LOG_INFO, "patrold", None, "Starting up...")
    assert {(prio & ~7, ident, pid) for prio, ident, pid, _ in entries[1:]} == \
        {(LOG_DAEMON, "patrold", daemon.pid)}
    assert entries[-1] == (LOG_DAEMON | LOG_INFO, "patrold", daemon.pid, "Exiting...")


@pytest.mark.parametrize("args", [(), ("-n", "-n"), ("-N",), ("-n ",)])
def test_anything_but_a_lone_dash_n_detaches(start_patrold, wrappers, bus, args):
    daemon = start_patrold(args=args, wait=False)
    assert daemon.proc.wait(timeout=10) == 0  # the invoking process
    assert wait_until(lambda: bus.has_owner(SERVICE)), "detached daemon not on the bus"
    pid = bus.owner_pid(SERVICE)
    os.kill(pid, signal.SIGTERM)
    assert pid != daemon.pid and wait_until(lambda: not bus.has_owner(SERVICE))
    assert wrappers.wait_for("Exiting...")


SWITCH_FAILURES = {
    "no-user": ((ROOT_PASSWD,), (ROOT_GROUP, SERVICE_GROUP), None,
                'Couldn\'t get uid for user "patrold".\n'),
    "no-group": ((ROOT_PASSWD, SERVICE_PASSWD), (ROOT_GROUP,), None,
                 'Couldn\'t get gid for group "patrold".\n'),
    "gid-refused": ((ROOT_PASSWD, SERVICE_PASSWD), (ROOT_GROUP, SERVICE_GROUP), (1000, 1000),
                    "Failed setting gid to 991: Operation not permitted\n"),
    "uid-0": ((ROOT_PASSWD, "patrold:x:0:991::/:/bin/false"), (ROOT_GROUP, SERVICE_GROUP),
              None, 'Refusing uid 0 of user "patrold".\n'),
    "gid-0": ((ROOT_PASSWD, SERVICE_PASSWD), (ROOT_GROUP, "patrold:x:0:"), None,
              'Refusing gid 0 of group "patrold".\n'),
    "member-of-root": ((ROOT_PASSWD, SERVICE_PASSWD), ("root:x:0:patrold", SERVICE_GROUP), None,
                       'Refusing privileged group 0 (root) of user "patrold".\n'),
    "member-of-disk": ((ROOT_PASSWD, SERVICE_PASSWD), (ROOT_GROUP, "disk:x:6:patrold",
                       SERVICE_GROUP), None, 'Refusing privileged group 6 (disk) of user "patrold".\n'),
}


@pytest.mark.parametrize("passwd,group,initial_ids,stderr", SWITCH_FAILURES.values(),
                         ids=SWITCH_FAILURES.keys())
def test_failed_account_switch_exits_1(start_patrold, wrappers, bus,
                                       passwd, group, initial_ids, stderr):
    wrappers.write(passwd, group)
    daemon = start_patrold(wait=False, initial_ids=initial_ids)
    assert daemon.proc.wait(timeout=10) == 1
    assert daemon.stderr() == stderr
    assert wrappers.lines()[-1] == \
        f"<{LOG_DAEMON | LOG_ERR}> patrold[{daemon.pid}]: Failed to switch user"
    assert not bus.has_owner(SERVICE)



def test_a_lost_bus_ends_patrold_with_a_failure(patrold, wrappers, private_bus):
    stop_process(private_bus)
    assert patrold.proc.wait(timeout=30) == 1
    assert wrappers.messages().count("Lost the connection to the system bus") == 1
