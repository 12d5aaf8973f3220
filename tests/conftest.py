"""Shared fixtures of the bus-level test suites.

- build_dir: where the programs are (PATROLD_BUILD_DIR, default ./build).
- private_bus: a dbus-daemon of our own; DBUS_SYSTEM_BUS_ADDRESS points at it
  for the test and for every program the test starts.
- store: a fresh parameter store file; PARAM_STORE_PATH points at it.
- run: runs a program of the build with that environment.
"""
import os
import pathlib
import signal
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUS_CONFIG = ROOT / "tests" / "support" / "system-bus.conf"


@pytest.fixture(scope="session")
def build_dir():
    path = pathlib.Path(os.environ.get("PATROLD_BUILD_DIR", ROOT / "build"))
    assert path.is_dir(), f"build folder {path} missing: run scripts/build.sh"
    return path


class Bus:
    def __init__(self):
        self.proc = subprocess.Popen(
            ["dbus-daemon", f"--config-file={BUS_CONFIG}", "--nofork",
             "--print-address=1"],
            stdout=subprocess.PIPE, text=True)
        self.address = self.proc.stdout.readline().strip()
        assert self.address, "dbus-daemon printed no address"

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=10)


@pytest.fixture
def private_bus(monkeypatch):
    bus = Bus()
    monkeypatch.setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address)
    yield bus
    bus.stop()


@pytest.fixture
def store(tmp_path, monkeypatch):
    path = tmp_path / "params.db"
    monkeypatch.setenv("PARAM_STORE_PATH", str(path))
    return path


@pytest.fixture
def run(build_dir):
    def _run(program, *args, input=None, check=False, timeout=30):
        exe = build_dir / program
        return subprocess.run([str(exe), *map(str, args)], input=input,
                              capture_output=True, text=True, check=check,
                              timeout=timeout)
    return _run
