"""The bus-level fixtures: programs on a private dbus-daemon with a fresh
store, output to files. patrold runs under uid_wrapper/nss_wrapper and the
syslog capture, PATROLD_PRELOAD first in LD_PRELOAD, PATROLD_WRAPPER in front."""
import json
import os
import pathlib
import re
import shlex
import signal
import subprocess
import tempfile
import time
from functools import partialmethod

import pytest
import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The bus names the programs share, from their one header.
NAMES = dict(re.findall(r'inline constexpr char (\w+)\[\] =\s*"([^"]*)";',
                        (ROOT / "names" / "patrold_names.h").read_text()))
SERVICE, OBJECT, IFACE_TOUR, IFACE_CONFHUB, IFACE_CONTROLLER, SIM_SERVICE, COORD_IFACE, \
    EVENTS_OBJECT, EVENTS_IFACE = (NAMES[n] for n in (
        "PATROLD_BUS_NAME", "PATROLD_OBJECT_PATH", "PATROLD_TOUR_INTERFACE",
        "PATROLD_CONFHUB_INTERFACE", "PATROLD_CONTROLLER_INTERFACE", "COORDINATOR_BUS_NAME",
        "COORDINATOR_INTERFACE", "PTZ_EVENTS_PATH", "PTZ_EVENTS_INTERFACE"))
SIM_OBJECT, SIM_IFACE = "/com/vorn/PTZ/Simulator", "com.vorn.PTZ.Simulator"
STATUS_ROOT, STATUS_IFACE = NAMES["PATROLD_STATUS_PATH"], NAMES["PATROLD_STATUS_INTERFACE"]
NO_BUS = "unix:path=/nonexistent/bus"
ROOT_PASSWD, ROOT_GROUP = "root:x:0:0:root:/root:/bin/sh", "root:x:0:"
SERVICE_PASSWD = "patrold:x:991:991:patrold:/nonexistent:/bin/false"
SERVICE_GROUP = "patrold:x:991:"
# What an operator may plant in the store: its table renamed, and in its
# place a view whose rows never end, none of them a parameter anyone asks for.
ENDLESS_VIEW = ("ALTER TABLE params RENAME TO kept; CREATE VIEW params(seq, name, value) AS "
                "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) "
                "SELECT n, 'x' || n, '' FROM r")


def wait_until(predicate, timeout=10.0):
    """`predicate`'s last value, polled until true or `timeout` (signals flow)."""
    ctx = GLib.MainContext.default()
    deadline = time.monotonic() + timeout
    while True:
        while ctx.pending():
            ctx.iteration(False)
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(0.02)


def program(build_dir, name):
    assert (path := pathlib.Path(build_dir) / name).is_file(), f"{name} is not built in {build_dir}"
    return path


def stop_process(proc, timeout=15):
    """SIGTERM by pid, SIGKILL if it lingers; the exit status."""
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGTERM)
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.kill(proc.pid, signal.SIGKILL)
    return proc.wait()


class BusClient:
    def __init__(self, address):
        self.conn = Gio.DBusConnection.new_for_address_sync(
            address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
            | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)

    def call(self, dest, path, iface, method, signature=None, args=None, timeout_ms=10000):
        params = GLib.Variant(signature, args) if signature else None
        return self.conn.call_sync(dest, path, iface, method, params, None,
                                   Gio.DBusCallFlags.NONE, timeout_ms, None)

    def send(self, dest, path, iface, method, signature=None, args=None):  # wants no reply
        msg = Gio.DBusMessage.new_method_call(dest, path, iface, method)
        if signature:
            msg.set_body(GLib.Variant(signature, args))
        msg.set_flags(Gio.DBusMessageFlags.NO_REPLY_EXPECTED)
        self.conn.send_message(msg, Gio.DBusSendMessageFlags.NONE)

    def has_owner(self, name, method="NameHasOwner"):
        return self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         method, "(s)", (name,)).unpack()[0]

    def owner_pid(self, name):
        return self.has_owner(name, "GetConnectionUnixProcessID")

    def emit(self, path, iface, name, signature, args, flush=True):
        self.conn.emit_signal(None, path, iface, name, signature and GLib.Variant(signature, args))
        return flush and self.conn.flush_sync(None)

    def close(self):
        if not self.conn.is_closed():
            self.conn.close_sync(None)


def interfaces_of(xml):  # {name: the interface as GDBus introspects it} of a document
    texts = {i: GLib.String() for i in Gio.DBusNodeInfo.new_for_xml(xml).interfaces if i.name.startswith("com.vorn.")}
    return {i.name: (i.generate_xml(0, text), text.str)[1] for i, text in texts.items()}


def shipped_interfaces(name):  # the interface file under data/ that the daemon compiles in
    return interfaces_of((pathlib.Path(__file__).resolve().parents[1] / "data" / name).read_text())


def remote_error(exc):  # (bus error name, message) of a failed call
    assert exc.message.startswith("GDBus.Error:"), exc.message
    name, _, message = exc.message[len("GDBus.Error:"):].partition(": ")
    return name, message


class Wrappers:
    """Account files for nss_wrapper; the syslog of what runs under them."""

    def __init__(self, folder, preload):
        self.passwd, self.group, self.path = folder / "passwd", folder / "group", folder / "syslog"
        self.preload = preload
        self.write()

    def write(self, passwd=(ROOT_PASSWD, SERVICE_PASSWD), group=(ROOT_GROUP, SERVICE_GROUP)):
        self.passwd.write_text("".join(line + "\n" for line in passwd))
        self.group.write_text("".join(line + "\n" for line in group))

    def lines(self):
        return self.path.read_text(errors="replace").splitlines() if self.path.exists() else []

    def messages(self):  # without priority and identity
        return [line.split(": ", 1)[1] for line in self.lines() if ": " in line]

    def wait_for(self, message, timeout=10.0):
        return wait_until(lambda: message in self.messages(), timeout)

    def env(self, initial_ids=None):
        """Fake root, or the fake account `initial_ids` (uid, gid); a sanitizer
        runtime must be the first library of a sanitized program."""
        env = {"LD_PRELOAD": f"{os.environ.get('PATROLD_PRELOAD', '')} libuid_wrapper.so "
                             f"libnss_wrapper.so {self.preload}".strip(),
               "NSS_WRAPPER_PASSWD": str(self.passwd), "NSS_WRAPPER_GROUP": str(self.group),
               "UID_WRAPPER": "1", "SYSLOG_CAPTURE_FILE": str(self.path)}
        if initial_ids is None:
            env["UID_WRAPPER_ROOT"] = "1"
        for kind, value in zip("UG", initial_ids or ()):
            env.update({f"UID_WRAPPER_INITIAL_{which}{kind}ID": str(value) for which in "RES"})
        return env


class Simulator:
    """A running ptz-sim."""

    def __init__(self, exe, bus, *args):
        self.proc = subprocess.Popen([str(exe), "--speed-scale", "10", *map(str, args)],
                                     stdout=subprocess.DEVNULL)
        self.bus = bus
        if not wait_until(lambda: self.proc.poll() is not None or bus.has_owner(SIM_SERVICE)) \
                or self.proc.poll() is not None:
            self.stop()
            raise RuntimeError("ptz-sim did not take its bus name")

    def call(self, camera, method, signature, args, timeout_ms=10000):
        return self.bus.call(SIM_SERVICE, f"/com/vorn/PTZ/Coordinator/{camera}",
                             COORD_IFACE, method, signature, args, timeout_ms).unpack()

    def control(self, method, signature=None, args=None):
        return self.bus.call(SIM_SERVICE, SIM_OBJECT, SIM_IFACE, method, signature, args)

    def state(self):
        return json.loads(self.control("GetState").unpack()[0])

    def cameras(self):
        return {c["camera"]: c for c in self.state()["cameras"]}

    def camera(self, camera_id):
        return self.cameras()[camera_id]

    def history(self, camera_id):  # the last 256 presets reached
        return self.camera(camera_id)["history"]

    def wait_history(self, camera_id, count, timeout=10.0):
        """The `count` or more presets reached from now on, or None."""
        before = len(self.history(camera_id))
        history = wait_until(lambda: len(h := self.history(camera_id)) >= before + count and h,
                             timeout)
        return history[before:] if history else None

    def stop(self):
        return stop_process(self.proc)


def tour_lines(tour_id, camera, presets=(1, 2), running="no", wait=0, random="no",
               pause_minutes=0, positions=None):
    """NAME=VALUE lines of one tour visiting `presets` in `positions` order."""
    base = f"root.RezazErar.G{tour_id}"
    lines = [f"{base}.Name=Tour {tour_id}", f"{base}.CamNbr={camera}",
             f"{base}.RandomEnabled={random}", f"{base}.TimeBetweenSequences={pause_minutes}",
             f"{base}.Running={running}"]
    for m, preset in enumerate(presets):
        point = f"{base}.Tour.T{m}"
        lines += [f"{point}.PresetNbr={preset}", f"{point}.Position={(positions or range(99))[m]}",
                  f"{point}.MoveSpeed=100", f"{point}.WaitTime={wait}",
                  f"{point}.WaitTimeViewType=Seconds"]
    return lines


class ParamCtl:
    def __init__(self, exe):
        self.exe = exe

    def run(self, *args, input=None):
        return subprocess.run([str(self.exe), *map(str, args)], input=input,
                              capture_output=True, text=True, timeout=30)

    def import_lines(self, lines):
        result = self.run("import", input="\n".join(lines) + "\n")
        assert result.returncode == 0, result.stderr
        return result

    def get(self, name):
        result = self.run("get", name)
        return result.stdout.strip() if result.returncode == 0 else None

    def list(self, *prefix):
        return self.run("list", *prefix).stdout.splitlines()

    def running(self, tour_id):
        return self.get(f"root.RezazErar.G{tour_id}.Running")

    def wait_running(self, tour_id, value, timeout=10.0):
        return wait_until(lambda: self.running(tour_id) == value, timeout)

    def groups(self):
        return {line.split(".")[2] for line in self.list("root.RezazErar")}


class Daemon:
    def __init__(self, proc, bus, syslog, err):
        self.proc, self.pid, self.bus, self.syslog, self.err = proc, proc.pid, bus, syslog, err

    def call(self, iface, method, signature=None, args=None):
        return self.bus.call(SERVICE, OBJECT, iface, method, signature, args)

    def _request(self, iface, method, number):
        return self.call(iface, method, "(i)", (number,))

    play = partialmethod(_request, IFACE_TOUR, "PlayPresetTour")
    stop_tour = partialmethod(_request, IFACE_TOUR, "StopPresetTour")
    unblock = partialmethod(_request, IFACE_CONTROLLER, "UnblockPlayback")

    def answers(self, bound_s=10.0):  # alive, and its main loop replies within bound_s
        try:  # a status read: GDBus answers Introspect on a thread of its own
            return self.proc.poll() is None and self.bus.call(
                SERVICE, f"{STATUS_ROOT}/Camera1", "org.freedesktop.DBus.Properties", "Get",
                "(ss)", (STATUS_IFACE, "Camera"), int(bound_s * 1000)).unpack() == (1,)
        except GLib.Error:
            return False

    def stderr(self):
        self.err.seek(0)
        return self.err.read()

    def stop(self, timeout=15):
        return stop_process(self.proc, timeout)

    def kill(self):
        if self.proc.poll() is None:
            os.kill(self.pid, signal.SIGKILL)
        self.proc.wait()


@pytest.fixture(autouse=True)
def no_real_bus(monkeypatch):
    # Runs before private_bus: a test without one never reaches the real bus.
    monkeypatch.setenv("DBUS_SYSTEM_BUS_ADDRESS", NO_BUS)


@pytest.fixture(scope="session")
def build_dir():
    path = pathlib.Path(os.environ.get("PATROLD_BUILD_DIR", ROOT / "build"))
    assert path.is_dir(), f"build folder {path} missing: run scripts/build.sh"
    return path


@pytest.fixture
def private_bus(monkeypatch):
    """A dbus-daemon of our own (.address); its complaints go to a file."""
    with tempfile.TemporaryFile("w+") as log:
        proc = subprocess.Popen(["dbus-daemon", "--nofork", "--print-address=1",
                                 f"--config-file={ROOT}/tests/support/system-bus.conf"],
                                stdout=subprocess.PIPE, stderr=log, text=True)
        proc.address = proc.stdout.readline().strip()
        assert proc.address, "dbus-daemon printed no address"
        monkeypatch.setenv("DBUS_SYSTEM_BUS_ADDRESS", proc.address)
        yield proc
        stop_process(proc)
        proc.stdout.close()


@pytest.fixture
def bus(private_bus):
    client = BusClient(private_bus.address)
    yield client
    client.close()


@pytest.fixture
def store(tmp_path, monkeypatch):
    monkeypatch.setenv("PARAM_STORE_PATH", str(tmp_path / "params.db"))
    return tmp_path / "params.db"


@pytest.fixture
def wrappers(tmp_path, build_dir):
    (tmp_path / "nss").mkdir()
    return Wrappers(tmp_path / "nss",
                    program(build_dir, "tools/syslog-capture/libsyslog-capture.so"))


@pytest.fixture
def start_ptz_sim(build_dir, bus):
    """start_ptz_sim(*options) -> Simulator, once it owns its bus name."""
    started = []
    yield lambda *args: started.append(
        Simulator(program(build_dir, "ptz-sim"), bus, *args)) or started[-1]
    for sim in started:
        sim.stop()


@pytest.fixture
def ptz_sim(start_ptz_sim):
    return start_ptz_sim()


@pytest.fixture
def paramctl(build_dir, store, private_bus):
    return ParamCtl(program(build_dir, "paramctl"))


@pytest.fixture
def seed(paramctl):
    return paramctl.import_lines


@pytest.fixture
def start_patrold(build_dir, bus, wrappers, store):
    """start_patrold(args=("-n",), wait=True) -> Daemon; SIGTERM at teardown."""
    exe = program(build_dir, "patrold")
    # Under a checker, argv0 is the checker's business.
    wrapper = shlex.split(os.environ.get("PATROLD_WRAPPER", ""))
    started = []

    def _start(args=("-n",), wait=True, initial_ids=None, argv0=None, cwd=None, env=None,
               preload=""):
        argv = [*wrapper, str(exe)] if wrapper else [argv0 or str(exe)]
        err = tempfile.TemporaryFile("w+")
        full_env = dict(os.environ, **wrappers.env(initial_ids), **(env or {}))
        # A preload of the test's own (libfaketime) goes last: a sanitizer
        # runtime must stay first, and no wrapper defines a clock call, so
        # libfaketime still answers every one of them.
        full_env["LD_PRELOAD"] = f"{full_env['LD_PRELOAD']} {preload}".strip()
        proc = subprocess.Popen([*argv, *args], executable=argv[0] if wrapper else str(exe),
                                env=full_env, cwd=cwd,
                                stdout=subprocess.DEVNULL, stderr=err, text=True)
        started.append(Daemon(proc, bus, wrappers, err))
        # The name of a daemon killed a moment ago may not be free yet; a
        # checker in front slows start-up many times over.
        assert not wait or wait_until(lambda: proc.poll() is not None or (
            bus.has_owner(SERVICE) and bus.owner_pid(SERVICE) == proc.pid),
            60 if wrapper else 10), "patrold did not take its bus name"
        assert not wait or proc.poll() is None, started[-1].stderr()
        return started[-1]

    yield _start
    for daemon in started:
        stop_process(daemon.proc, 60)
        daemon.err.close()


@pytest.fixture
def patrold(start_patrold):
    return start_patrold()
