"""`meson install` into a scratch root: its bus policy on a bus like Debian's
system bus with real accounts; its unit, store folder and accounts."""
import contextlib
import grp
import os
import pathlib
import pwd
import re
import shutil
import subprocess
import tempfile

import pytest

from conftest import (EVENTS_IFACE, EVENTS_OBJECT, OBJECT, ROOT, SERVICE, BusClient, Daemon,
                      ParamCtl, Simulator, program, stop_process, tour_lines, wait_until)

PREFIX = "usr/local"
OPERATOR = "patrold-test-operator"
ACCOUNTS = ("root", OPERATOR, "patrold", "nobody")
# Emits one signal, then makes a round trip, after which the bus has routed it.
FORGE = """import ast, sys
from gi.repository import Gio, GLib
bus, (path, iface, name, signature, args) = Gio.bus_get_sync(Gio.BusType.SYSTEM), sys.argv[1:]
bus.emit_signal(None, path, iface, name, GLib.Variant(signature, ast.literal_eval(args)))
bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
              "GetId", None, None, 0, 10000)"""


@pytest.fixture(scope="module")
def destdir(build_dir, tmp_path_factory):
    root = tmp_path_factory.mktemp("destdir")
    result = subprocess.run(["meson", "install", "-C", str(build_dir), "--destdir",
                             str(root), "--no-rebuild", "--quiet"],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return root


def installed(destdir, *parts):
    return destdir / PREFIX / pathlib.Path(*parts)


def as_account(name):
    return ["setpriv", f"--reuid={name}", f"--regid={pwd.getpwnam(name).pw_gid}",
            "--init-groups"]


@pytest.fixture(scope="module")
def accounts():
    """The service account, the operators' group and one operator, as real
    accounts; what this makes, it removes afterwards."""
    assert os.geteuid() == 0, "needs root to run programs as other accounts"
    made = []
    for kind, name, *args in (("group", "patrold-operators"), ("user", "patrold", "-U"),
                              ("user", OPERATOR, "-U", "--groups", "patrold-operators")):
        try:
            (grp.getgrnam if kind == "group" else pwd.getpwnam)(name)
        except KeyError:
            subprocess.run([f"{kind}add", "--system", *args, name], check=True)
            made.append((kind, name))
    yield
    for kind, name in reversed(made):
        subprocess.run([f"{kind}del", name], check=True)


@pytest.fixture
def system(build_dir, destdir, accounts, monkeypatch, tmp_path):
    """patrold as its account and ptz-sim as root, on a bus with Debian's
    system.conf and the installed policy; tours 1 and 2 on cameras 1 and 2."""
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
        client = BusClient(os.environ["DBUS_SYSTEM_BUS_ADDRESS"])
        cleanup.callback(client.close)
        paramctl = ParamCtl(program(build_dir, "paramctl"))
        paramctl.import_lines(tour_lines(1, camera=1) + tour_lines(2, camera=2))
        for path in (store, *store.iterdir()):
            shutil.chown(path, "patrold", "patrold")
        sim = Simulator(program(build_dir, "ptz-sim"), client)
        cleanup.callback(sim.stop)
        # Started as root, patrold takes its account by itself.
        daemon = Daemon(subprocess.Popen([program(build_dir, "patrold"), "-n"]), client, None)
        cleanup.callback(daemon.kill)
        assert wait_until(lambda: client.has_owner(SERVICE)), "patrold did not take its name"
        yield daemon, sim, paramctl


# method (interface.member), object path, arguments -> the accounts answered;
# every other account is refused.
CALLS = {
    "play": ("com.vorn.PresetTour.StopPresetTour", OBJECT, ["99"], {"root", OPERATOR}),
    "running": ("com.vorn.PresetTourConfhub.SetPresetTourRunning", OBJECT, ["no", "G99"],
                {"root", OPERATOR, "patrold"}),
    "controller": ("com.vorn.PresetTourController.UnblockPlayback", OBJECT, ["8"],
                   {"root", OPERATOR}),
    "introspect": ("org.freedesktop.DBus.Introspectable.Introspect", OBJECT, [], ACCOUNTS),
}


@pytest.mark.parametrize("method,path,args,answered", CALLS.values(), ids=CALLS.keys())
def test_who_is_answered(system, method, path, args, answered):
    for account in ACCOUNTS:
        result = subprocess.run(
            [*as_account(account), "gdbus", "call", "--system", "--dest", SERVICE,
             "--object-path", path, "--method", method, *args],
            capture_output=True, text=True, timeout=30)
        ok = account in answered
        assert (result.returncode == 0, "AccessDenied" in result.stderr) == (ok, not ok), \
            (account, result.stderr)


def queued(sim, camera):
    return "Rezazerar" in sim.camera(camera)["queue"]


# What nobody forges (on camera 1), what the coordinator does (on camera 2),
# and the state once both have been routed when only the coordinator counts.
SIGNALS = {
    "driver-uninstalled": (
        ("/com/vorn/PTZ/Coordinator/1", "com.vorn.PTZ.Coordinator", "DriverUninstalled",
         "(i)", "(1,)"),
        ("UninstallDriver", "(i)", (2,)),
        lambda sim, paramctl: paramctl.groups() == {"G1"}),
    "control-changed": (
        (EVENTS_OBJECT, EVENTS_IFACE, "ControlChanged", "(is)", "(1, 'Recordedtour')"),
        ("TakeControl", "(is)", (2, "Recordedtour")),
        lambda sim, paramctl: queued(sim, 1) and not queued(sim, 2)),
}


@pytest.mark.parametrize("forged,genuine,outcome", SIGNALS.values(), ids=SIGNALS.keys())
def test_only_the_coordinators_signals_count(system, forged, genuine, outcome):
    daemon, sim, paramctl = system
    daemon.play(1)
    daemon.play(2)
    assert wait_until(lambda: queued(sim, 1) and queued(sim, 2))
    result = subprocess.run([*as_account("nobody"), "/usr/bin/python3", "-c", FORGE, *forged],
                            capture_output=True, text=True, timeout=30)
    assert result.returncode == 0, result.stderr
    # patrold handles its signals in order: had the forged one arrived, the
    # outcome would never be seen.
    sim.control(*genuine)
    assert wait_until(lambda: outcome(sim, paramctl)), (paramctl.groups(), sim.state())


def test_store_folder_and_accounts(destdir, tmp_path):
    """The installed sysusers and tmpfiles files, applied to an empty root,
    give the store's folder to patrold, with the group patrold-operators."""
    (tmp_path / "etc").mkdir()
    lib = installed(destdir, "lib")
    for command in (["systemd-sysusers", lib / "sysusers.d" / "patrold.conf"],
                    ["systemd-tmpfiles", "--create", lib / "tmpfiles.d" / "patrold.conf"]):
        subprocess.run([*command, f"--root={tmp_path}"], check=True, timeout=60)
    ids = {(db, entry[0]): int(entry[2]) for db in ("passwd", "group")
           for entry in map(lambda line: line.split(":"),
                            (tmp_path / "etc" / db).read_text().splitlines())}
    unit = installed(destdir, "lib", "systemd", "system", "patrold.service").read_text()
    store = re.search(r"^ReadWritePaths=(.+)$", unit, re.M).group(1)
    info = (tmp_path / store.lstrip("/")).stat()
    assert (oct(info.st_mode & 0o7777), info.st_uid, info.st_gid) == (
        "0o2770", ids["passwd", "patrold"], ids["group", "patrold-operators"])


def test_a_shared_store_folder_is_refused(tmp_path):
    result = subprocess.run(["meson", "setup", str(tmp_path), str(ROOT),
                             "-Dparam_store_path=/var/lib/params.db"],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode != 0 and "not in /var/lib" in result.stdout, result.stdout


def test_unit_verifies(destdir, tmp_path):
    unit = installed(destdir, "lib", "systemd", "system", "patrold.service")
    text = unit.read_text()
    assert f"ExecStart=/{PREFIX}/sbin/patrold -n" in text
    # The unit names its real path; verify a copy that points into the
    # scratch root, with the installed man pages on the manual path.
    copy = tmp_path / "patrold.service"
    copy.write_text(text.replace(f"ExecStart=/{PREFIX}", f"ExecStart={destdir}/{PREFIX}"))
    env = dict(os.environ, MANPATH=str(installed(destdir, "share", "man")))
    result = subprocess.run(["systemd-analyze", "verify", str(copy)], env=env,
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")


def test_unit_exposure_is_low(destdir):
    unit = installed(destdir, "lib", "systemd", "system", "patrold.service")
    result = subprocess.run(["systemd-analyze", "security", "--offline=true", str(unit)],
                            capture_output=True, text=True, timeout=60)
    level = re.search(r"Overall exposure level for patrold.service: ([\d.]+)", result.stdout)
    assert level, result.stdout + result.stderr
    assert float(level.group(1)) <= 2.0
