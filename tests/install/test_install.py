"""`meson install` into a scratch root: the bus policy admits only root (and
the operators group) to patrold's methods, and the systemd unit verifies and
stays well hardened."""
import os
import pathlib
import re
import shutil
import subprocess

import pytest

PREFIX = "usr/local"
SERVICE = "com.vorn.PresetTour"
OBJECT = "/com/vorn/PresetTour"
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]

# Stands in for patrold: owns the name and answers the three interfaces.
STAND_IN = r'''
import sys
from gi.repository import Gio, GLib
XML = """<node>
 <interface name="com.vorn.PresetTour"><method name="PlayPresetTour"><arg type="i"/></method></interface>
 <interface name="com.vorn.PresetTourConfhub"><method name="SetPresetTourRunning"><arg type="s"/><arg type="s"/></method></interface>
 <interface name="com.vorn.PresetTourController"><method name="BlockPlayback"><arg type="i"/></method></interface>
</node>"""
bus = Gio.bus_get_sync(Gio.BusType.SYSTEM, None)
for iface in Gio.DBusNodeInfo.new_for_xml(XML).interfaces:
    bus.register_object("/com/vorn/PresetTour", iface,
                        lambda *a: a[6].return_value(None), None, None)
reply = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                      "RequestName", GLib.Variant("(su)", ("com.vorn.PresetTour", 4)),
                      None, 0, 5000, None)
print("owned" if reply.unpack()[0] == 1 else "not owned", flush=True)
GLib.MainLoop().run()
'''

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <!-- the defaults of Debian's system bus -->
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
  </policy>
  <include>{policy}</include>
  {extra}
</busconfig>
"""

# No "patrold" account may be created on the test machine, so the stand-in
# runs as root; this one addition lets root own the name, and everything
# else is the installed policy.
ROOT_MAY_OWN = '<policy user="root"><allow own="com.vorn.PresetTour"/></policy>'


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


class PolicyBus:
    def __init__(self, folder, policy, extra=""):
        config = folder / f"bus-{len(extra)}.conf"
        config.write_text(BUS_CONFIG.format(policy=policy, extra=extra))
        self.proc = subprocess.Popen(["dbus-daemon", f"--config-file={config}", "--nofork",
                                      "--print-address=1"],
                                     stdout=subprocess.PIPE, text=True)
        self.address = self.proc.stdout.readline().strip()
        self.env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.address)

    def run(self, *command, prefix=()):
        return subprocess.run([*prefix, *command], env=self.env, capture_output=True,
                              text=True, timeout=30)

    def call(self, method, *args, prefix=()):
        return self.run("gdbus", "call", "--system", "--dest", SERVICE, "--object-path",
                        OBJECT, "--method", method, *args, prefix=prefix)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


@pytest.fixture
def policy_bus(destdir, tmp_path):
    buses = []

    def _start(extra=""):
        policy = installed(destdir, "share", "dbus-1", "system.d", "com.vorn.PresetTour.conf")
        buses.append(PolicyBus(tmp_path, policy, extra))
        return buses[-1]
    yield _start
    for bus in buses:
        bus.stop()


@pytest.fixture
def stand_in(policy_bus):
    bus = policy_bus(ROOT_MAY_OWN)
    proc = subprocess.Popen(["/usr/bin/python3", "-c", STAND_IN], env=bus.env,
                            stdout=subprocess.PIPE, text=True)
    assert proc.stdout.readline().strip() == "owned"
    yield bus
    proc.terminate()
    proc.wait(timeout=10)


def test_root_may_not_own_the_name(policy_bus):
    bus = policy_bus()
    result = bus.run("gdbus", "call", "--system", "--dest", "org.freedesktop.DBus",
                     "--object-path", "/org/freedesktop/DBus", "--method",
                     "org.freedesktop.DBus.RequestName", SERVICE, "4")
    assert "AccessDenied" in result.stderr, result


@pytest.mark.parametrize("method,args", [
    ("com.vorn.PresetTour.PlayPresetTour", ("1",)),
    ("com.vorn.PresetTourConfhub.SetPresetTourRunning", ("yes", "G1")),
    ("com.vorn.PresetTourController.BlockPlayback", ("1",)),
])
def test_methods_answer_root_only(stand_in, method, args):
    if shutil.which("setpriv") is None or os.geteuid() != 0:
        pytest.fail("needs root and setpriv to call as another user")
    assert stand_in.call(method, *args).returncode == 0
    denied = stand_in.call(method, *args, prefix=NOBODY)
    assert denied.returncode != 0
    assert "AccessDenied" in denied.stderr, denied.stderr


def test_introspection_stays_open(stand_in):
    result = stand_in.call("org.freedesktop.DBus.Introspectable.Introspect", prefix=NOBODY)
    assert result.returncode == 0, result.stderr
    assert "com.vorn.PresetTourController" in result.stdout


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


def test_store_folder_belongs_to_the_service(destdir):
    tmpfiles = installed(destdir, "lib", "tmpfiles.d", "patrold.conf").read_text()
    unit = installed(destdir, "lib", "systemd", "system", "patrold.service").read_text()
    folder = re.search(r"^d (\S+) 0750 patrold patrold", tmpfiles, re.M).group(1)
    assert f"ReadWritePaths={folder}\n" in unit
    sysusers = installed(destdir, "lib", "sysusers.d", "patrold.conf").read_text()
    assert re.search(r"^u patrold ", sysusers, re.M)
    assert re.search(r"^g patrold-operators ", sysusers, re.M)
