"""Fixtures for driving a running patrold from outside.

The daemon is only ever reached the way a real client reaches it: over the
private bus, through paramctl and through ptz-sim. It runs under uid_wrapper
and nss_wrapper so that its switch to the "patrold" account works without
real privileges, and under the syslog shim so its log lines land in a file.

- syslog_file: the capture file and helpers to read and wait on it.
- wrappers: passwd/group files and the preload environment.
- ptz_sim: a running simulator with fast heads and a control helper;
  start_ptz_sim starts one (or another one later) on demand.
- patrold: a factory that starts the daemon and waits for its bus name.
- seed: writes tours into the store with `paramctl import`.
"""
import json
import os
import shlex
import signal
import subprocess
import time

import pytest
import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

SERVICE = "com.vorn.PresetTour"
OBJECT = "/com/vorn/PresetTour"
IFACE_TOUR = "com.vorn.PresetTour"
IFACE_CONFHUB = "com.vorn.PresetTourConfhub"
IFACE_CONTROLLER = "com.vorn.PresetTourController"
SIM_SERVICE = "com.vorn.PTZ.Coordinator"
SIM_OBJECT = "/com/vorn/PTZ/Simulator"
SIM_IFACE = "com.vorn.PTZ.Simulator"
EVENTS_OBJECT = "/com/vorn/PTZ/Events"
EVENTS_IFACE = "com.vorn.PTZ.Events"

SERVICE_UID = 991
SERVICE_GID = 991
ROOT_PASSWD = "root:x:0:0:root:/root:/bin/sh"
SERVICE_PASSWD = f"patrold:x:{SERVICE_UID}:{SERVICE_GID}:patrold:/nonexistent:/bin/false"
ROOT_GROUP = "root:x:0:"
SERVICE_GROUP = f"patrold:x:{SERVICE_GID}:"


def wait_until(predicate, timeout=10.0, interval=0.05):
    """Polls `predicate` until it returns a true value or `timeout` passes;
    returns that last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def find_program(build_dir, name, *subdirs):
    for candidate in [build_dir / name] + [build_dir / d / name for d in subdirs]:
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return candidate
    pytest.skip(f"{name} is not built in {build_dir}")


# --- the bus ---------------------------------------------------------------

class BusClient:
    """One client connection to the private bus."""

    def __init__(self, address):
        self.conn = Gio.DBusConnection.new_for_address_sync(
            address,
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
            | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
            None, None)

    def call(self, dest, path, iface, method, signature=None, args=None,
             timeout_ms=10000):
        params = GLib.Variant(signature, args) if signature else None
        return self.conn.call_sync(dest, path, iface, method, params, None,
                                   Gio.DBusCallFlags.NONE, timeout_ms, None)

    def has_owner(self, name):
        reply = self.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                          "org.freedesktop.DBus", "NameHasOwner", "(s)", (name,))
        return reply.unpack()[0]

    def owner_pid(self, name):
        reply = self.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                          "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                          "(s)", (name,))
        return reply.unpack()[0]

    def emit(self, path, iface, name, signature, args):
        self.conn.emit_signal(None, path, iface, name, GLib.Variant(signature, args))
        self.conn.flush_sync(None)

    def close(self):
        self.conn.close_sync(None)


def remote_error(exc):
    """(bus error name, message) of a GLib.Error from a method call."""
    prefix = "GDBus.Error:"
    assert exc.message.startswith(prefix), exc.message
    name, _, message = exc.message[len(prefix):].partition(": ")
    return name, message


@pytest.fixture
def bus(private_bus):
    client = BusClient(private_bus.address)
    yield client
    client.close()


# --- syslog ----------------------------------------------------------------

class Syslog:
    def __init__(self, path):
        self.path = path

    def lines(self):
        try:
            return self.path.read_text().splitlines()
        except FileNotFoundError:
            return []

    def messages(self):
        """The message part of every line, without priority and identity."""
        return [line.split(": ", 1)[1] for line in self.lines() if ": " in line]

    def wait_for(self, message, timeout=10.0):
        return wait_until(lambda: message in self.messages(), timeout)


@pytest.fixture
def syslog_file(tmp_path, build_dir):
    preload = build_dir / "tests" / "support" / "libsyslog-preload.so"
    if not preload.is_file():
        pytest.skip("syslog preload shim is not built")
    log = Syslog(tmp_path / "syslog.txt")
    log.preload = preload
    return log


# --- nss_wrapper / uid_wrapper ---------------------------------------------

class Wrappers:
    def __init__(self, folder, syslog):
        self.folder = folder
        self.syslog = syslog
        self.passwd = folder / "passwd"
        self.group = folder / "group"
        self.write()

    def write(self, passwd=(ROOT_PASSWD, SERVICE_PASSWD),
              group=(ROOT_GROUP, SERVICE_GROUP)):
        self.passwd.write_text("".join(line + "\n" for line in passwd))
        self.group.write_text("".join(line + "\n" for line in group))

    def env(self, initial_ids=None):
        """Preload environment. Fake root by default; `initial_ids` (uid, gid)
        starts the program as that unprivileged fake account instead."""
        # PATROLD_PRELOAD goes first: a sanitizer runtime must be the first
        # library of a sanitized program, ahead of the wrappers.
        first = os.environ.get("PATROLD_PRELOAD", "")
        env = {
            "LD_PRELOAD": f"{first} libuid_wrapper.so libnss_wrapper.so "
                          f"{self.syslog.preload}".strip(),
            "NSS_WRAPPER_PASSWD": str(self.passwd),
            "NSS_WRAPPER_GROUP": str(self.group),
            "UID_WRAPPER": "1",
            "SYSLOG_CAPTURE_FILE": str(self.syslog.path),
        }
        if initial_ids is None:
            env["UID_WRAPPER_ROOT"] = "1"
        else:
            uid, gid = initial_ids
            for kind in ("RUID", "EUID", "SUID"):
                env[f"UID_WRAPPER_INITIAL_{kind}"] = str(uid)
            for kind in ("RGID", "EGID", "SGID"):
                env[f"UID_WRAPPER_INITIAL_{kind}"] = str(gid)
        return env


@pytest.fixture
def wrappers(tmp_path, syslog_file):
    folder = tmp_path / "nss"
    folder.mkdir()
    return Wrappers(folder, syslog_file)


# --- ptz-sim ---------------------------------------------------------------

class Simulator:
    def __init__(self, proc, bus):
        self.proc = proc
        self.bus = bus

    def control(self, method, signature=None, args=None):
        return self.bus.call(SIM_SERVICE, SIM_OBJECT, SIM_IFACE, method,
                             signature, args)

    def state(self):
        return json.loads(self.control("GetState").unpack()[0])

    def camera(self, camera_id):
        return next(c for c in self.state()["cameras"] if c["camera"] == camera_id)

    def history(self, camera_id):
        return list(self.camera(camera_id)["history"])

    def wait_history(self, camera_id, count, timeout=10.0):
        """Waits until camera `camera_id` has reached `count` more presets
        than now; returns the presets reached meanwhile, or None."""
        before = len(self.history(camera_id))
        history = wait_until(
            lambda: (h := self.history(camera_id)) and len(h) >= before + count and h,
            timeout)
        return history[before:] if history else None

    def stop(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()


@pytest.fixture
def start_ptz_sim(build_dir, bus):
    """start_ptz_sim() -> Simulator, once it owns its bus name. A simulator
    keeps nothing across runs, so starting one after stopping another is a
    coordinator that restarted. Every one still alive at teardown is stopped
    by its pid."""
    exe = find_program(build_dir, "ptz-sim", "sim")
    started = []

    def _start():
        proc = subprocess.Popen([str(exe), "--speed-scale", "10"],
                                stdout=subprocess.DEVNULL)
        sim = Simulator(proc, bus)
        started.append(sim)
        assert wait_until(lambda: proc.poll() is None and bus.has_owner(SIM_SERVICE)), \
            "ptz-sim did not take its bus name"
        return sim

    yield _start
    for sim in started:
        sim.stop()


@pytest.fixture
def ptz_sim(start_ptz_sim):
    return start_ptz_sim()


# --- paramctl and tours ------------------------------------------------------

def tour_lines(tour_id, camera, presets=(1, 2), running="no", wait=0,
               random="no", pause_minutes=0):
    """NAME=VALUE lines of one tour visiting `presets` in order."""
    base = f"root.RezazErar.G{tour_id}"
    lines = [f"{base}.Name=Tour {tour_id}", f"{base}.CamNbr={camera}",
             f"{base}.RandomEnabled={random}",
             f"{base}.TimeBetweenSequences={pause_minutes}",
             f"{base}.Running={running}"]
    for m, preset in enumerate(presets):
        point = f"{base}.Tour.T{m}"
        lines += [f"{point}.PresetNbr={preset}", f"{point}.Position={m}",
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

    def running(self, tour_id):
        return self.get(f"root.RezazErar.G{tour_id}.Running")

    def wait_running(self, tour_id, value, timeout=10.0):
        return wait_until(lambda: self.running(tour_id) == value, timeout)

    def groups(self):
        """Tour group names present in the store, e.g. {"G1", "G4"}."""
        listing = self.run("list", "root.RezazErar").stdout.splitlines()
        return {line.split(".")[2] for line in listing
                if line.startswith("root.RezazErar.")}


@pytest.fixture
def paramctl(build_dir, store, private_bus):
    return ParamCtl(find_program(build_dir, "paramctl", "tools/paramctl"))


@pytest.fixture
def seed(paramctl):
    """seed(tour_lines(...) + tour_lines(...)): imports tours in one go."""
    return paramctl.import_lines


# --- the daemon ----------------------------------------------------------------

class Daemon:
    def __init__(self, proc, bus, syslog):
        self.proc = proc
        self.pid = proc.pid
        self.bus = bus
        self.syslog = syslog

    def call(self, iface, method, signature=None, args=None):
        return self.bus.call(SERVICE, OBJECT, iface, method, signature, args)

    def play(self, tour_id):
        return self.call(IFACE_TOUR, "PlayPresetTour", "(i)", (tour_id,))

    def stop_tour(self, tour_id):
        return self.call(IFACE_TOUR, "StopPresetTour", "(i)", (tour_id,))

    def pause(self, tour_id):
        return self.call(IFACE_TOUR, "PausePresetTour", "(i)", (tour_id,))

    def resume(self, tour_id):
        return self.call(IFACE_TOUR, "ResumePresetTour", "(i)", (tour_id,))

    def block(self, camera_id):
        return self.call(IFACE_CONTROLLER, "BlockPlayback", "(i)", (camera_id,))

    def unblock(self, camera_id):
        return self.call(IFACE_CONTROLLER, "UnblockPlayback", "(i)", (camera_id,))

    def set_running(self, running, group):
        return self.call(IFACE_CONFHUB, "SetPresetTourRunning", "(ss)",
                         (running, group))

    def answers(self):
        """True when the daemon is alive and replies on the bus."""
        if self.proc.poll() is not None:
            return False
        reply = self.bus.call(SERVICE, OBJECT,
                              "org.freedesktop.DBus.Introspectable", "Introspect")
        return IFACE_TOUR in reply.unpack()[0]

    def stop(self, timeout=15):
        """SIGTERM, then the exit status."""
        if self.proc.poll() is None:
            os.kill(self.pid, signal.SIGTERM)
        return self.proc.wait(timeout=timeout)

    def kill(self):
        if self.proc.poll() is None:
            os.kill(self.pid, signal.SIGKILL)
            self.proc.wait()


@pytest.fixture
def start_patrold(build_dir, bus, wrappers, store):
    """start_patrold(args=("-n",), wait=True) -> Daemon. Every daemon that
    is still alive at teardown is killed by its pid."""
    exe = find_program(build_dir, "patrold")
    started = []

    def _start(args=("-n",), wait=True, initial_ids=None, argv0=None, cwd=None):
        env = dict(os.environ)
        env.update(wrappers.env(initial_ids))
        # PATROLD_WRAPPER (e.g. "valgrind --leak-check=full") runs the
        # daemon under a checker; argv0 is then the checker's business.
        wrapper = shlex.split(os.environ.get("PATROLD_WRAPPER", ""))
        argv = wrapper + [str(exe)] if wrapper else [argv0 or str(exe)]
        proc = subprocess.Popen([*argv, *args], executable=argv[0] if wrapper else str(exe),
                                env=env, cwd=cwd, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        daemon = Daemon(proc, bus, wrappers.syslog)
        started.append(daemon)
        if wait:
            # A checker in front slows start-up many times over.
            assert wait_until(lambda: proc.poll() is not None or bus.has_owner(SERVICE),
                              60 if wrapper else 10), \
                "patrold did not take its bus name"
            assert proc.poll() is None, proc.stderr.read()
        return daemon

    yield _start
    for daemon in started:
        daemon.kill()
        for stream in (daemon.proc.stdout, daemon.proc.stderr):
            if stream:
                stream.close()


@pytest.fixture
def patrold(start_patrold):
    return start_patrold()
