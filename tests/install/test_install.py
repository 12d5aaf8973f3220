"""`meson install` into a scratch root: the bus policy admits only root (and
the operators group) to patrold's methods, and the systemd unit verifies and
stays well hardened."""
import os
import pathlib
import re
import subprocess

import pytest

PREFIX = "usr/local"
SERVICE = "com.vorn.PresetTour"
OBJECT = "/com/vorn/PresetTour"
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]

# Stands in for patrold: owns the name and answers the three interfaces.
STAND_IN = r'''
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


@pytest.fixture
def call(destdir, tmp_path):
    """call(method, *args, prefix=()) -> gdbus call on a private bus with the
    installed policy, to a stand-in owning patrold's name."""
    config = tmp_path / "bus.conf"
    config.write_text(BUS_CONFIG.format(policy=installed(
        destdir, "share", "dbus-1", "system.d", "com.vorn.PresetTour.conf"),
        extra=ROOT_MAY_OWN))
    bus = subprocess.Popen(["dbus-daemon", f"--config-file={config}", "--nofork",
                            "--print-address=1"], stdout=subprocess.PIPE, text=True)
    env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=bus.stdout.readline().strip())
    proc = subprocess.Popen(["/usr/bin/python3", "-c", STAND_IN], env=env,
                            stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().strip() == "owned"
        yield lambda method, *args, prefix=(): subprocess.run(
            [*prefix, "gdbus", "call", "--system", "--dest", SERVICE, "--object-path",
             OBJECT, "--method", method, *args],
            env=env, capture_output=True, text=True, timeout=30)
    finally:
        for p in (proc, bus):
            p.terminate()
            p.wait(timeout=10)
            p.stdout.close()


@pytest.mark.parametrize("method,args", [
    ("com.vorn.PresetTour.PlayPresetTour", ("1",)),
    ("com.vorn.PresetTourConfhub.SetPresetTourRunning", ("yes", "G1")),
    ("com.vorn.PresetTourController.BlockPlayback", ("1",)),
])
def test_methods_answer_root_only(call, method, args):
    assert os.geteuid() == 0, "needs root to call as another user"
    assert call(method, *args).returncode == 0
    denied = call(method, *args, prefix=NOBODY)
    assert denied.returncode != 0 and "AccessDenied" in denied.stderr, denied.stderr


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
