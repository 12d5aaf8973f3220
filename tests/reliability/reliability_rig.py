"""One private world for the reliability programs: a bus, a store file,
ptz-sim and patrold under the wrappers, built from the end-to-end suite's
helpers (tests/e2e/conftest.py and tests/conftest.py) so that the fuzzers
drive the daemon exactly as the other bus-level tests do.

The fuzzers run as plain programs as well as under pytest, so nothing here
depends on pytest fixtures: `Rig` is a context manager that starts what is
asked for and stops every process it started, by pid.
"""
import importlib.util
import os
import pathlib
import random
import signal
import subprocess
import tempfile

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

TESTS = pathlib.Path(__file__).resolve().parent.parent
ROOT = TESTS.parent


def _load(name, path):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


e2e = _load("reliability_e2e_helpers", TESTS / "e2e" / "conftest.py")
_base = _load("reliability_base_helpers", TESTS / "conftest.py")

wait_until = e2e.wait_until
tour_lines = e2e.tour_lines
SERVICE, OBJECT = e2e.SERVICE, e2e.OBJECT
IFACE_TOUR, IFACE_CONFHUB, IFACE_CONTROLLER = (
    e2e.IFACE_TOUR, e2e.IFACE_CONFHUB, e2e.IFACE_CONTROLLER)
EVENTS_OBJECT, EVENTS_IFACE = e2e.EVENTS_OBJECT, e2e.EVENTS_IFACE
SIM_SERVICE, SIM_OBJECT, SIM_IFACE = e2e.SIM_SERVICE, e2e.SIM_OBJECT, e2e.SIM_IFACE
COORD_OBJECT_1 = "/com/vorn/PTZ/Coordinator/1"
COORD_IFACE = "com.vorn.PTZ.Coordinator"
INT32_MIN, INT32_MAX = -2**31, 2**31 - 1


def build_dir_from_env():
    return pathlib.Path(os.environ.get("PATROLD_BUILD_DIR", ROOT / "build"))


def program(build_dir, name, *subdirs):
    for candidate in [build_dir / name] + [build_dir / d / name for d in subdirs]:
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return candidate
    raise FileNotFoundError(f"{name} is not built in {build_dir}")


class QuietBus(_base.Bus):
    """The suite's private bus with its complaints in a file: the fuzzers
    make it refuse thousands of replies to calls that expected none."""

    def __init__(self, log_path):
        self.log = open(log_path, "w")
        self.proc = subprocess.Popen(
            ["dbus-daemon", f"--config-file={_base.BUS_CONFIG}", "--nofork",
             "--print-address=1"],
            stdout=subprocess.PIPE, stderr=self.log, text=True)
        self.address = self.proc.stdout.readline().strip()
        if not self.address:
            raise RuntimeError("dbus-daemon printed no address")

    def stop(self):
        super().stop()
        self.proc.stdout.close()
        self.log.close()


class Sender:
    """Fire-and-forget messages on one connection: calls flagged
    no-reply-expected and signals, so thousands leave per second. Messages
    of one connection reach the daemon in the order they were sent."""

    def __init__(self, conn):
        self.conn = conn
        self.calls = 0
        self.signals = 0

    def call(self, dest, path, iface, method, body=None):
        msg = Gio.DBusMessage.new_method_call(dest, path, iface, method)
        if body is not None:
            msg.set_body(body)
        msg.set_flags(Gio.DBusMessageFlags.NO_REPLY_EXPECTED)
        self.conn.send_message(msg, Gio.DBusSendMessageFlags.NONE)
        self.calls += 1

    def signal(self, path, iface, name, body=None):
        msg = Gio.DBusMessage.new_signal(path, iface, name)
        if body is not None:
            msg.set_body(body)
        self.conn.send_message(msg, Gio.DBusSendMessageFlags.NONE)
        self.signals += 1

    def flush(self):
        self.conn.flush_sync(None)


class Rig:
    """with Rig(build_dir) as rig: rig.start_sim(); rig.seed(lines);
    daemon = rig.start_daemon() ...

    Sets DBUS_SYSTEM_BUS_ADDRESS and PARAM_STORE_PATH in os.environ for its
    lifetime (paramctl and every started program inherit them) and puts them
    back afterwards."""

    def __init__(self, build_dir=None, workdir=None):
        self.build_dir = pathlib.Path(build_dir or build_dir_from_env())
        self._tmp = None
        if workdir is None:
            self._tmp = tempfile.TemporaryDirectory(prefix="patrold-rel-")
            workdir = self._tmp.name
        self.workdir = pathlib.Path(workdir)
        self.daemons = []
        self.sim = None
        self.starts = 0

    # --- lifetime ---------------------------------------------------------

    def __enter__(self):
        self._saved_env = {k: os.environ.get(k) for k in
                           ("DBUS_SYSTEM_BUS_ADDRESS", "PARAM_STORE_PATH")}
        self.bus_daemon = QuietBus(self.workdir / "dbus-daemon.log")
        os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = self.bus_daemon.address
        self.bus = e2e.BusClient(self.bus_daemon.address)
        self.sender = Sender(self.bus.conn)
        self.use_store(self.workdir / "params.db")
        self.paramctl = e2e.ParamCtl(program(self.build_dir, "paramctl", "tools/paramctl"))
        self.syslog = e2e.Syslog(self.workdir / "syslog-0.txt")
        self.syslog.preload = self.build_dir / "tests" / "support" / "libsyslog-preload.so"
        if not self.syslog.preload.is_file():
            raise FileNotFoundError(f"{self.syslog.preload} is not built")
        nss = self.workdir / "nss"
        nss.mkdir(exist_ok=True)
        self.wrappers = e2e.Wrappers(nss, self.syslog)
        return self

    def __exit__(self, *exc):
        for daemon in self.daemons:
            daemon.kill()
            daemon.stderr_file.close()
        if self.sim is not None:
            self.sim.stop()
        self.bus.close()
        self.bus_daemon.stop()
        for key, value in self._saved_env.items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value
        if self._tmp is not None:
            self._tmp.cleanup()
        return False

    def use_store(self, path):
        self.store = pathlib.Path(path)
        os.environ["PARAM_STORE_PATH"] = str(self.store)

    # --- programs -----------------------------------------------------------

    def start_sim(self, *args):
        exe = program(self.build_dir, "ptz-sim", "sim")
        proc = subprocess.Popen([str(exe), "--speed-scale", "10", *args],
                                stdout=subprocess.DEVNULL)
        self.sim = e2e.Simulator(proc, self.bus)
        if not wait_until(lambda: proc.poll() is not None or self.bus.has_owner(SIM_SERVICE)) \
                or proc.poll() is not None:
            raise RuntimeError("ptz-sim did not take its bus name")
        return self.sim

    def start_daemon(self, fresh_log=True):
        """patrold -n under the wrappers, once it owns its bus name. With
        `fresh_log` its syslog lines go to a file of their own, so "the last
        line" means this run's last line. Its stderr goes to a file (a pipe
        nobody reads could block a chatty daemon)."""
        exe = program(self.build_dir, "patrold")
        if fresh_log:
            self.syslog.path = self.workdir / f"syslog-{self.starts + 1}.txt"
        env = dict(os.environ)
        env.update(self.wrappers.env())
        stderr_file = open(self.workdir / f"stderr-{self.starts + 1}.txt", "w+")
        proc = subprocess.Popen([str(exe), "-n"], env=env,
                                stdout=subprocess.DEVNULL, stderr=stderr_file)
        daemon = e2e.Daemon(proc, self.bus, e2e.Syslog(self.syslog.path))
        daemon.stderr_file = stderr_file
        self.daemons.append(daemon)
        self.starts += 1
        def owned():
            # the name of a daemon killed a moment ago may not be free yet
            return self.bus.has_owner(SERVICE) and self.bus.owner_pid(SERVICE) == proc.pid

        if not wait_until(lambda: proc.poll() is not None or owned()):
            raise RuntimeError("patrold did not take its bus name")
        if proc.poll() is not None:
            raise RuntimeError(f"patrold exited {proc.returncode} at start: "
                               f"{read_stderr(daemon)}")
        return daemon

    def seed(self, lines):
        return self.paramctl.import_lines(lines)

    def listing(self):
        """Every parameter under root.RezazErar as {name: value}."""
        result = self.paramctl.run("list", "root.RezazErar")
        values = {}
        for line in result.stdout.splitlines():
            name, _, value = line.partition("=")
            values[name] = value
        return values


def read_stderr(daemon):
    daemon.stderr_file.flush()
    daemon.stderr_file.seek(0)
    return daemon.stderr_file.read()


def stop_cleanly(daemon, timeout=20):
    """SIGTERM and the checks of an orderly exit: (exit status, problems)."""
    if daemon.proc.poll() is None:
        os.kill(daemon.pid, signal.SIGTERM)
    try:
        status = daemon.proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        return None, ["no exit within %d s of SIGTERM" % timeout]
    problems = []
    if status != 0:
        problems.append(f"exit status {status}")
    messages = daemon.syslog.messages()
    if not messages or messages[-1] != "Exiting...":
        problems.append(f"last log line {messages[-1:]!r}, not 'Exiting...'")
    err = read_stderr(daemon)
    for marker in ("assertion", "ERROR", "CRITICAL"):
        if marker in err:
            problems.append(f"stderr holds {marker!r}: {err[-500:]!r}")
    return status, problems


def variant(signature, args):
    return GLib.Variant(signature, args)


def rng(seed):
    return random.Random(seed)
