"""`meson install` into a scratch root: its bus policy on a bus like Debian's with
real accounts; its unit, store folder, accounts. The demo's folder."""
import contextlib
import os
import pathlib
import pwd
import re
import shutil
import subprocess
import tempfile

import pytest
from gi.repository import GLib

from conftest import (COORD_IFACE, EVENTS_IFACE, EVENTS_OBJECT, OBJECT, ROOT, SERVICE, SIM_SERVICE,
                      BusClient, Daemon, ParamCtl, Simulator, program, remote_error,
                      stop_process, tour_lines, wait_until)

PREFIX = "usr/local"
OPERATOR = "patrold-test-operator"
ACCOUNTS = ("root", OPERATOR, "patrold", "nobody")
STATUS = "/com/vorn/PresetTourStatus"


@pytest.fixture(scope="module")
def destdir(build_dir, tmp_path_factory):
    root = tmp_path_factory.mktemp("destdir")
    subprocess.run(["meson", "install", "-C", build_dir, "--destdir", root, "--no-rebuild",
                    "--quiet"], check=True, timeout=300)
    return root


def installed(destdir, *parts):
    return destdir / PREFIX / pathlib.Path(*parts)


@pytest.fixture(scope="module")
def accounts(destdir):
    """The installed sysusers file applied to this machine, and an operator;
    removes what it made."""
    made = [(kind, name) for kind, name in (("user", OPERATOR), ("user", "patrold"),
                                            ("group", "patrold-operators"))
            if subprocess.run(["getent", {"user": "passwd"}.get(kind, kind), name]).returncode]
    subprocess.run(["systemd-sysusers", installed(destdir, "lib", "sysusers.d", "patrold.conf")],
                   check=True, timeout=60)
    if ("user", OPERATOR) in made:
        subprocess.run(["useradd", "--system", "-U", "--groups", "patrold-operators", OPERATOR],
                       check=True)
    yield
    for kind, name in made:
        subprocess.run([f"{kind}del", name], check=True)


def connect_as(name, address):
    """A connection with that account's ids and groups, which the bus reads from
    the kernel as they were when it connected; root's come back after."""
    user, groups = pwd.getpwnam(name), os.getgroups()
    os.setgroups(os.getgrouplist(name, user.pw_gid))
    os.setresgid(user.pw_gid, user.pw_gid, 0)
    os.setresuid(user.pw_uid, user.pw_uid, 0)
    try:
        return BusClient(address)
    finally:
        os.setresuid(0, 0, 0)
        os.setresgid(0, 0, 0)
        os.setgroups(groups)


@pytest.fixture
def system(build_dir, destdir, accounts, monkeypatch, tmp_path):
    """patrold as its account, ptz-sim as root, a connection per account, on a bus
    with Debian's system.conf and the installed policy; tours 1, 2 on cameras 1, 2."""
    config = tmp_path / "bus.conf"
    config.write_text(subprocess.run(
        [ROOT / "scripts" / "system-bus-conf.sh", "unix:tmpdir=/tmp",
         installed(destdir, "share", "dbus-1", "system.d"), ROOT / "data" / "ptz-sim.conf"],
        check=True, capture_output=True, text=True).stdout)
    with contextlib.ExitStack() as cleanup:
        bus = subprocess.Popen(["dbus-daemon", f"--config-file={config}", "--nofork",
                                "--print-address=1"], stdout=subprocess.PIPE, text=True)
        cleanup.callback(bus.stdout.close)
        cleanup.callback(stop_process, bus)
        store = pathlib.Path(tempfile.mkdtemp(prefix="patrold-store-"))
        cleanup.callback(shutil.rmtree, store)
        monkeypatch.setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.stdout.readline().strip())
        monkeypatch.setenv("PARAM_STORE_PATH", str(store / "params.db"))
        clients = {name: connect_as(name, os.environ["DBUS_SYSTEM_BUS_ADDRESS"])
                   for name in ACCOUNTS}
        cleanup.callback(lambda: [client.close() for client in clients.values()])
        shutil.chown(store, "patrold", "patrold-operators")  # as tmpfiles makes it
        store.chmod(0o2770)
        paramctl = ParamCtl(program(build_dir, "paramctl"))
        # An operator makes the store: its files are the operator's.
        subprocess.run(["setpriv", f"--reuid={OPERATOR}", f"--regid={OPERATOR}", "--init-groups",
                        paramctl.exe, "import"], check=True, timeout=30, text=True,
                       input="\n".join(tour_lines(1, camera=1) + tour_lines(2, camera=2)))
        sim = Simulator(program(build_dir, "ptz-sim"), clients["root"])
        cleanup.callback(sim.stop)
        # Started as root, patrold takes its account by itself.
        cleanup.callback(stop_process, proc := subprocess.Popen([program(build_dir, "patrold"), "-n"]))
        daemon = Daemon(proc, clients["root"], None, None)
        assert wait_until(lambda: clients["root"].has_owner(SERVICE)), "patrold has no name"
        yield daemon, sim, paramctl, clients


# interface, method, path, signature, arguments -> accounts answered; others refused
CALLS = {
    "tour": ("com.vorn.PresetTour", "StopPresetTour", OBJECT, "(i)", (99,), {"root", OPERATOR}),
    "running": ("com.vorn.PresetTourConfhub", "SetPresetTourRunning", OBJECT, "(ss)",
                ("no", "G99"), {"root", OPERATOR, "patrold"}),
    "controller": ("com.vorn.PresetTourController", "UnblockPlayback", OBJECT, "(i)", (8,),
                   {"root", OPERATOR}),
    "status": ("org.freedesktop.DBus.ObjectManager", "GetManagedObjects", STATUS, None, None,
               {"root", OPERATOR}),
    "status-property": ("org.freedesktop.DBus.Properties", "Get", f"{STATUS}/Camera1", "(ss)",
                        ("com.vorn.PresetTourStatus.Camera", "State"), {"root", OPERATOR}),
    "schedule": ("com.vorn.PresetTourSchedule", "Reload", "/com/vorn/PresetTourSchedule", None,
                 None, {"root", OPERATOR}),
    "introspect": ("org.freedesktop.DBus.Introspectable", "Introspect", STATUS, None, None,
                   {"root", OPERATOR}),
    "properties": ("org.freedesktop.DBus.Properties", "GetAll", OBJECT, "(s)",
                   ("com.vorn.PresetTour",), {"root", OPERATOR}),
    "peer": ("org.freedesktop.DBus.Peer", "Ping", OBJECT, None, None, ACCOUNTS),
}


@pytest.mark.parametrize("interface,method,path,signature,args,answered", CALLS.values(),
                         ids=CALLS.keys())
def test_who_is_answered(system, interface, method, path, signature, args, answered):
    for account, client in system[3].items():
        try:
            client.call(SERVICE, path, interface, method, signature, args)
            error = None
        except GLib.Error as exc:
            error = remote_error(exc)[0]
        denied = None if account in answered else "org.freedesktop.DBus.Error.AccessDenied"
        assert error == denied, account


def state(client, camera):
    return client.call(SERVICE, f"{STATUS}/Camera{camera}", "org.freedesktop.DBus.Properties",
                       "Get", "(ss)", ("com.vorn.PresetTourStatus.Camera", "State")).unpack()[0]


# forged by nobody (camera 1), sent by the coordinator (camera 2), outcome if only it counts
SIGNALS = {
    "driver-uninstalled": (
        ("/com/vorn/PTZ/Coordinator/1", COORD_IFACE, "DriverUninstalled", "(i)", (1,)),
        ("UninstallDriver", "(i)", (2,)),
        lambda paramctl, root: paramctl.groups() == {"G1"}),
    "control-changed": (
        (EVENTS_OBJECT, EVENTS_IFACE, "ControlChanged", "(is)", (1, "Operator")),
        ("TakeControl", "(is)", (2, "Operator")),  # a hold by another control client
        lambda paramctl, root: state(root, 2) == "held" != state(root, 1)),
}


@pytest.mark.parametrize("forged,genuine,outcome", SIGNALS.values(), ids=SIGNALS.keys())
def test_only_the_coordinators_signals_count(system, forged, genuine, outcome):
    daemon, sim, paramctl, clients = system
    # Refused by the bus itself, so also to a connection without patrold's
    # name: the platform's own listeners, and patrold before it owns it.
    heard = []
    clients["patrold"].conn.signal_subscribe(None, forged[1], None, None, None, 0,
                                             lambda _c, sender, *_: heard.append(sender))
    clients["patrold"].has_owner(SERVICE)  # a round trip: the match rule is in place
    daemon.play(1)
    daemon.play(2)
    assert wait_until(lambda: "idle" not in (state(clients["root"], 1), state(clients["root"], 2)))
    clients["nobody"].emit(*forged)
    # After a round trip the bus has routed the forged signal; patrold
    # handles signals in order, so had it arrived, the outcome never shows.
    clients["nobody"].has_owner(SERVICE)
    sim.control(*genuine)
    assert wait_until(lambda: outcome(paramctl, clients["root"])), (paramctl.groups(), sim.state())
    assert wait_until(lambda: heard) and clients["nobody"].conn.get_unique_name() not in heard


def test_switch_takes_the_service_accounts_groups_only(system):
    user, status = pwd.getpwnam("patrold"), pathlib.Path(f"/proc/{system[0].pid}/status")
    ids = dict(line.split(":", 1) for line in status.read_text().splitlines())
    assert ids["Uid"].split() == [str(user.pw_uid)] * 4
    assert sorted(map(int, ids["Groups"].split())) == \
        sorted(set(os.getgrouplist("patrold", user.pw_gid)))


def test_only_the_coordinators_clients_call_it_each_under_its_own_names(system):
    daemon, sim, _, clients = system
    daemon.play(1)
    assert wait_until(lambda: sim.camera(1)["queue"] == ["Rezazerar"])
    stop = ("Rezazerar", *(3 if i in (5, 9, 13) else 0 for i in range(1, 30)))
    for account, method, signature, args in (
            ("nobody", "Queue", "(sii)", ("Intruder", 0, 3)),  # a hold
            ("nobody", "Queue", "(sii)", ("Rezazerar", 0, 2)),  # patrold leaving
            ("nobody", "GotoPresetNumber", "(siii)", ("Rezazerar", 0, 5, 50 << 16)),
            ("nobody", "Move", f"(s{'i' * 29})", stop),
            ("root", "Queue", "(sii)", ("Rezazerar", 0, 2))):  # the name is patrold's account's
        with pytest.raises(GLib.Error) as refused:
            clients[account].call(SIM_SERVICE, "/com/vorn/PTZ/Coordinator/1", COORD_IFACE,
                                  method, signature, args)
        assert remote_error(refused.value)[0] == "org.freedesktop.DBus.Error.AccessDenied", method
    assert sim.camera(1)["queue"] == ["Rezazerar"] and state(clients["root"], 1) != "held"


def test_status_and_head_events_reach_only_their_readers(system):
    daemon, _, _, clients = system
    status, events = ({account: [] for account in clients} for _ in range(2))
    for account, client in clients.items():
        for sender, interface, seen in ((SERVICE, None, status), (None, EVENTS_IFACE, events)):
            client.conn.signal_subscribe(sender, interface, None, None, None, 0,
                                         lambda *args, got=seen[account]: got.append(args))
        client.has_owner(SERVICE)  # a round trip: the match rules are in place
    daemon.play(1)
    assert wait_until(lambda: status["root"] and events["root"])
    # The bus hands a signal to all recipients at once: one more round trip each.
    for client in clients.values():
        client.has_owner(SERVICE)
    assert wait_until(lambda: status[OPERATOR] and events["patrold"])
    assert not status["patrold"] and not status["nobody"]
    assert not events[OPERATOR] and not events["nobody"]


def test_a_store_an_operator_made_plays(system):  # the fixture seeds it as the operator
    daemon, sim, _, _ = system
    daemon.play(1)
    assert sim.wait_history(1, 2), sim.state()


def test_store_folder_and_accounts(destdir, tmp_path):
    """The installed sysusers and tmpfiles files applied to an empty root."""
    (tmp_path / "etc").mkdir()
    lib = installed(destdir, "lib")
    for command in (["systemd-sysusers", lib / "sysusers.d" / "patrold.conf",
                     lib / "sysusers.d" / "patrold-mqtt.conf"],
                    ["systemd-tmpfiles", "--create", lib / "tmpfiles.d" / "patrold.conf"]):
        subprocess.run([*command, f"--root={tmp_path}"], check=True, timeout=60)
    ids = {(db, line.split(":")[0]): int(line.split(":")[2]) for db in ("passwd", "group")
           for line in (tmp_path / "etc" / db).read_text().splitlines()}
    unit = installed(destdir, "lib", "systemd", "system", "patrold.service").read_text()
    store = re.search(r"^ReadWritePaths=(.+)$", unit, re.M).group(1)
    info = (tmp_path / store.lstrip("/")).stat()
    assert (oct(info.st_mode & 0o7777), info.st_uid, info.st_gid) == (
        "0o2770", ids["passwd", "patrold"], ids["group", "patrold-operators"])
    # The bridge's account is an operator.
    members = re.search(r"^patrold-operators:x:\d+:(.*)$",
                        (tmp_path / "etc" / "group").read_text(), re.M).group(1)
    assert "patrold-mqtt" in members.split(","), members


@pytest.mark.parametrize("path,said", [("/var/lib/params.db", "not in /var/lib"),
                                       ("/tmp/patrold/params.db", "not be under /tmp")])
def test_a_shared_or_hidden_store_folder_is_refused(tmp_path, path, said):
    result = subprocess.run(["meson", "setup", str(tmp_path), str(ROOT), f"-Dparam_store_path={path}"],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode != 0 and said in result.stdout, result.stdout


def test_interfaces_and_the_vendor_contract_are_installed_as_written(destdir):
    got = [*sorted(installed(destdir, "share", "dbus-1", "interfaces").iterdir()), installed(destdir, "share", "doc", "patrold", "PLATFORM.md")]
    want = sorted(ROOT.glob("data/com.vorn.*.xml")) + [ROOT / "docs" / "PLATFORM.md"]
    assert [(p.name, p.read_bytes()) for p in got] == [(p.name, p.read_bytes()) for p in want]


@pytest.mark.parametrize("name, command", [("patrold", "sbin/patrold -n"),
                                           ("patrold-mqtt", "sbin/patrold-mqtt --config")])
def test_unit_verifies_and_exposure_is_low(destdir, tmp_path, name, command):
    unit = installed(destdir, "lib", "systemd", "system", f"{name}.service")
    text = unit.read_text()
    assert f"ExecStart=/{PREFIX}/{command}" in text
    # A copy naming the scratch root's program, with its man pages on the path.
    copy = tmp_path / f"{name}.service"
    copy.write_text(text.replace(f"ExecStart=/{PREFIX}", f"ExecStart={destdir}/{PREFIX}"))
    env = dict(os.environ, MANPATH=str(installed(destdir, "share", "man")))
    assert all(installed(destdir, "share", *p).is_file() for p in (
        ("doc", "patrold", "PLATFORM.md"), ("bash-completion", "completions", "tourctl")))
    result = subprocess.run(["systemd-analyze", "verify", str(copy)], env=env,
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
    result = subprocess.run(["systemd-analyze", "security", "--offline=true", str(unit)],
                            capture_output=True, text=True, timeout=60)
    level = re.search(rf"Overall exposure level for {name}.service: ([\d.]+)", result.stdout)
    assert level and float(level.group(1)) <= 2.0, result.stdout + result.stderr
    assert "✗ CapabilityBoundingSet=~CAP_SYS_ADMIN" not in result.stdout  # no administrator


# owner of the folder found, whether it carries the demo's marker
@pytest.mark.parametrize("owner,marker", [(65534, True), (0, False)],
                         ids=["another-accounts", "roots-unmarked"])
def test_demo_refuses_a_folder_it_did_not_make(build_dir, tmp_path, owner, marker):
    victim, folder = tmp_path / "victim", tmp_path / "folder"
    victim.write_text("kept")
    folder.mkdir()
    (folder / "patrold.log").symlink_to(victim)
    if marker:
        (folder / ".patrold-demo").touch()
    os.chown(folder, owner, owner)
    result = subprocess.run([ROOT / "scripts" / "demo.sh", "--build-dir", build_dir,
                             "--dir", folder, "--wrapped-account", "--seconds", "1"],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 1 and "not the folder of an earlier" in result.stderr, result.stderr
    assert victim.read_text() == "kept" and (folder / "patrold.log").is_symlink()
