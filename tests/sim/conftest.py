"""The ptz_sim fixture: a running ptz-sim on the test's private bus.

Copy it into another suite's conftest.py to drive the simulated coordinator.

- ptz_sim: ptz-sim started with a fast head speed (--speed-scale 20).
- ptz_sim_exe: the path of the ptz-sim program (build/ or build/sim/).
- start_ptz_sim: starts ptz-sim with the options given; stopped after the test.

Each handle has a Gio connection of its own to the private bus (`bus`), a
recorder of the com.vorn.PTZ.Events signals and DriverUninstalled
(`events`), and helpers for the coordinator (`call`) and the simulator's
control interface (`control`, `state`).
"""
import json
import os
import signal
import subprocess
import tempfile
import time

import pytest
from gi.repository import Gio, GLib

BUS_NAME = "com.vorn.PTZ.Coordinator"
COORD_IFACE = "com.vorn.PTZ.Coordinator"
CONTROL_PATH = "/com/vorn/PTZ/Simulator"
CONTROL_IFACE = "com.vorn.PTZ.Simulator"
EVENTS_IFACE = "com.vorn.PTZ.Events"
CALL_TIMEOUT_MS = 10000


def find_ptz_sim(build_dir):
    for candidate in (build_dir / "ptz-sim", build_dir / "sim" / "ptz-sim"):
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return candidate
    pytest.fail(f"ptz-sim not found under {build_dir}")


def wait_until(predicate, timeout=10.0):
    """Runs the default main context until predicate() holds; False on timeout."""
    ctx = GLib.MainContext.default()
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        while ctx.pending():
            ctx.iteration(False)
        if predicate():
            return True
        time.sleep(0.005)
    while ctx.pending():
        ctx.iteration(False)
    return predicate()


class PtzSim:
    def __init__(self, exe, address, args):
        # Files rather than pipes: a verbose simulator must never block on
        # a full pipe that nobody reads during the test.
        self._out = tempfile.TemporaryFile("w+")
        self._err = tempfile.TemporaryFile("w+")
        self.proc = subprocess.Popen([str(exe), *map(str, args)],
                                     stdout=self._out, stderr=self._err,
                                     text=True)
        self.bus = Gio.DBusConnection.new_for_address_sync(
            address,
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
            | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
            None, None)
        self.events = []
        self._subs = [
            self.bus.signal_subscribe(None, iface, None, path, None,
                                      Gio.DBusSignalFlags.NONE,
                                      self._on_signal, None)
            for iface, path in ((EVENTS_IFACE, "/com/vorn/PTZ/Events"),
                                (COORD_IFACE, None))]
        if not wait_until(self._owned):
            self.stop()
            pytest.fail("ptz-sim did not take its bus name")

    def _owned(self):
        if self.proc.poll() is not None:
            return True
        reply = self.bus.call_sync(
            "org.freedesktop.DBus", "/org/freedesktop/DBus",
            "org.freedesktop.DBus", "NameHasOwner",
            GLib.Variant("(s)", (BUS_NAME,)), None,
            Gio.DBusCallFlags.NONE, CALL_TIMEOUT_MS, None)
        return reply.unpack()[0]

    def _on_signal(self, _conn, _sender, path, _iface, name, params, _data):
        self.events.append((name, path, tuple(params.unpack())))

    wait_until = staticmethod(wait_until)

    def named(self, name):
        """Arguments of every recorded signal with that name, in order."""
        return [args for (n, _p, args) in self.events if n == name]

    def wait_event(self, name, args, timeout=10.0):
        return wait_until(lambda: args in self.named(name), timeout)

    def call(self, camera, method, signature, *args, timeout=CALL_TIMEOUT_MS):
        reply = self.bus.call_sync(
            BUS_NAME, f"/com/vorn/PTZ/Coordinator/{camera}", COORD_IFACE,
            method, GLib.Variant(signature, args), None,
            Gio.DBusCallFlags.NONE, timeout, None)
        return reply.unpack()

    def control(self, method, signature=None, *args):
        body = GLib.Variant(signature, args) if signature else None
        reply = self.bus.call_sync(
            BUS_NAME, CONTROL_PATH, CONTROL_IFACE, method, body, None,
            Gio.DBusCallFlags.NONE, CALL_TIMEOUT_MS, None)
        return reply.unpack()

    def state(self, camera=None):
        cams = json.loads(self.control("GetState")[0])["cameras"]
        return cams if camera is None else cams[camera - 1]

    def stop(self):
        for sub in self._subs:
            self.bus.signal_unsubscribe(sub)
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
        self.proc.wait(timeout=10)
        self.bus.close_sync(None)
        outputs = []
        for f in (self._out, self._err):
            f.seek(0)
            outputs.append(f.read())
            f.close()
        return (self.proc.returncode, *outputs)


@pytest.fixture
def ptz_sim_exe(build_dir):
    return find_ptz_sim(build_dir)


@pytest.fixture
def start_ptz_sim(ptz_sim_exe, private_bus):
    exe = ptz_sim_exe
    started = []

    def _start(*args):
        sim = PtzSim(exe, private_bus.address, args)
        started.append(sim)
        return sim

    yield _start
    for sim in started:
        if sim.proc.returncode is None:
            sim.stop()


@pytest.fixture
def ptz_sim(start_ptz_sim):
    return start_ptz_sim("--speed-scale", "20")
