"""One private world for the reliability programs: a bus, a store file,
ptz-sim and patrold under the wrappers, built from the helpers of
tests/conftest.py so that the fuzzers drive the daemon exactly as the other
bus-level tests do.

The fuzzers run as plain programs as well as under pytest, so nothing here
depends on pytest fixtures: `Rig` is a context manager that starts what is
asked for and stops every process it started, by pid.
"""
import importlib.util
import json
import os
import pathlib
import random
import sys
import signal
import subprocess
import tempfile

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

TESTS = pathlib.Path(__file__).resolve().parent.parent
ROOT = TESTS.parent

_spec = importlib.util.spec_from_file_location("reliability_helpers", TESTS / "conftest.py")
helpers = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(helpers)

wait_until = helpers.wait_until
tour_lines = helpers.tour_lines
program = helpers.program
SERVICE, OBJECT = helpers.SERVICE, helpers.OBJECT
IFACE_TOUR, IFACE_CONFHUB, IFACE_CONTROLLER = (
    helpers.IFACE_TOUR, helpers.IFACE_CONFHUB, helpers.IFACE_CONTROLLER)
EVENTS_OBJECT, EVENTS_IFACE = helpers.EVENTS_OBJECT, helpers.EVENTS_IFACE
SIM_SERVICE, SIM_OBJECT, SIM_IFACE = helpers.SIM_SERVICE, helpers.SIM_OBJECT, helpers.SIM_IFACE
COORD_OBJECT_1 = "/com/vorn/PTZ/Coordinator/1"
COORD_IFACE = helpers.COORD_IFACE
INT32_MIN, INT32_MAX = -2**31, 2**31 - 1


def build_dir_from_env():
    return pathlib.Path(os.environ.get("PATROLD_BUILD_DIR", ROOT / "build"))


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
        # The fuzzers make the bus refuse thousands of replies nobody asked
        # for: its complaints go to a file.
        self.bus_log = open(self.workdir / "dbus-daemon.log", "w")
        self.bus_daemon = helpers.Bus()
        os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = self.bus_daemon.address
        self.bus = helpers.BusClient(self.bus_daemon.address)
        self.sender = Sender(self.bus.conn)
        self.use_store(self.workdir / "params.db")
        self.paramctl = helpers.ParamCtl(program(self.build_dir, "paramctl"))
        self.syslog = helpers.Syslog(
            self.workdir / "syslog-0.txt",
            program(self.build_dir, "tools/syslog-capture/libsyslog-capture.so"))
        nss = self.workdir / "nss"
        nss.mkdir(exist_ok=True)
        self.wrappers = helpers.Wrappers(nss, self.syslog)
        return self

    def __exit__(self, *exc):
        for daemon in self.daemons:
            daemon.kill()
            daemon.stderr_file.close()
        if self.sim is not None:
            self.sim.stop()
        self.bus.close()
        self.bus_daemon.stop()
        self.bus_log.close()
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
        self.sim = helpers.Simulator(program(self.build_dir, "ptz-sim"), self.bus, *args)
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
        daemon = helpers.Daemon(proc, self.bus, helpers.Syslog(self.syslog.path, self.syslog.preload), stderr_file)
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


def report(run, json_path, prefix=""):
    """Runs one program's work and reports it the way scripts/reliability.sh
    reads it: the figures as JSON on stdout (and in `json_path`), exit 0; or
    the broken invariant on stderr, exit 1."""
    try:
        figures = run()
    except AssertionError as failure:
        print(f"{prefix}{failure}", file=sys.stderr)
        return 1
    text = json.dumps(figures, indent=2)
    print(text)
    if json_path:
        with open(json_path, "w") as f:
            f.write(text + "\n")
    return 0
