"""paramctl against a fresh store: commands, exit codes, import rules, and
the SetPresetTourRunning notification seen by a listener on a private bus."""
import os
import pathlib
import subprocess
import time

import pytest
import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

USAGE_EXIT = 2


@pytest.fixture(autouse=True)
def no_real_bus(monkeypatch):
    # Runs before private_bus, which overrides it: a test without a private
    # bus must never reach the machine's system bus.
    monkeypatch.setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus")


@pytest.fixture
def paramctl(build_dir, store):
    for exe in (build_dir / "paramctl", build_dir / "tools" / "paramctl" / "paramctl"):
        if exe.is_file():
            break
    else:
        pytest.fail(f"paramctl not built under {build_dir}")

    def _run(*args, input=None):
        return subprocess.run([str(exe), *args], input=input, text=True,
                              capture_output=True, timeout=30)
    return _run


def values(paramctl, group=None):
    out = paramctl("list", *([group] if group else []))
    assert out.returncode == 0, out.stderr
    return out.stdout.splitlines()


class TestCommands:
    def test_set_get_and_value_after_first_equals(self, paramctl):
        r = paramctl("set", "root.A.x=1", "root.A.eq=b=c", "root.A.empty=",
                     "root.A.spaced=two words")
        assert r.returncode == 0, r.stderr
        for name, value in [("root.A.x", "1"), ("root.A.eq", "b=c"),
                            ("root.A.empty", ""), ("root.A.spaced", "two words")]:
            got = paramctl("get", name)
            assert (got.returncode, got.stdout) == (0, value + "\n")

    def test_get_absent_fails_with_message(self, paramctl):
        for name in ["root.none", "bad..name"]:
            r = paramctl("get", name)
            assert r.returncode == 1 and r.stdout == ""
            assert name in r.stderr

    def test_set_with_bad_name_writes_nothing(self, paramctl):
        r = paramctl("set", "root.ok=1", "root..bad=2")
        assert r.returncode == 1
        assert values(paramctl) == []

    @pytest.mark.parametrize("args", [
        [], ["bogus"], ["get"], ["get", "a", "b"], ["set"], ["set", "novalue"],
        ["set", "=v"], ["list", "a", "b"], ["delete"], ["delete", "a", "b"],
        ["import", "f1", "f2"],
    ])
    def test_usage_errors(self, paramctl, args):
        r = paramctl(*args)
        assert r.returncode == USAGE_EXIT
        assert r.stderr.startswith("usage: paramctl")
        assert values(paramctl) == []

    def test_help(self, paramctl):
        r = paramctl("--help")
        assert r.returncode == 0 and "import [FILE]" in r.stdout

    def test_list_walks_groups_in_first_insertion_order(self, paramctl):
        assert paramctl("set", "root.RezazErar.G3.Running=no",
                        "root.RezazErar.G0.Running=yes",
                        "other.Flag=on").returncode == 0
        assert paramctl("set", "root.RezazErar.G3.Tour.T1.PresetNbr=4",
                        "root.RezazErar.G0.Name=zero").returncode == 0
        assert values(paramctl, "root.RezazErar") == [
            "root.RezazErar.G3.Running=no",
            "root.RezazErar.G3.Tour.T1.PresetNbr=4",
            "root.RezazErar.G0.Running=yes",
            "root.RezazErar.G0.Name=zero",
        ]
        assert len(values(paramctl)) == 5
        assert values(paramctl, "root.Absent") == []

    def test_delete(self, paramctl):
        paramctl("set", "root.RezazErar.G1.Running=no",
                 "root.RezazErar.G1.Tour.T0.PresetNbr=1", "root.RezazErar.G2.Running=no")
        assert paramctl("delete", "root.RezazErar.G1").returncode == 0
        assert values(paramctl) == ["root.RezazErar.G2.Running=no"]
        r = paramctl("delete", "root.RezazErar.G1")
        assert r.returncode == 1 and "root.RezazErar.G1" in r.stderr

    def test_unusable_store_fails(self, paramctl, tmp_path, monkeypatch):
        blocker = tmp_path / "file"
        blocker.write_text("")
        monkeypatch.setenv("PARAM_STORE_PATH", str(blocker / "params.db"))
        for args in (["set", "a.b=1"], ["get", "a.b"], ["list"], ["delete", "a"]):
            assert paramctl(*args).returncode == 1, args


class TestImport:
    TEXT = ("# tour one\n"
            "\n"
            "root.RezazErar.G1.Running=no\n"
            "   \n"
            "root.RezazErar.G1.Name=front door=east\r\n"
            "root.RezazErar.G1.Tour.T0.WaitTime=\n")
    EXPECTED = ["root.RezazErar.G1.Running=no",
                "root.RezazErar.G1.Name=front door=east",
                "root.RezazErar.G1.Tour.T0.WaitTime="]

    def test_from_file_and_stdin(self, paramctl, tmp_path):
        f = tmp_path / "tours.txt"
        f.write_text(self.TEXT)
        assert paramctl("import", str(f)).returncode == 0
        assert values(paramctl) == self.EXPECTED
        assert paramctl("delete", "root").returncode == 0
        assert paramctl("import", input=self.TEXT).returncode == 0
        assert values(paramctl) == self.EXPECTED

    @pytest.mark.parametrize("bad, line", [
        ("no equals sign", 4), ("=value", 4), ("root..x=1", 4), (" root.x=1", 4),
    ])
    def test_malformed_line_refused_with_number(self, paramctl, bad, line):
        text = "# c\nroot.a=1\n\n" + bad + "\nroot.b=2\n"
        r = paramctl("import", input=text)
        assert r.returncode == 1
        assert f"line {line}" in r.stderr
        assert values(paramctl) == []

    def test_missing_file(self, paramctl, tmp_path):
        assert paramctl("import", str(tmp_path / "none")).returncode == 1


CONFHUB_XML = """<node><interface name="com.vorn.PresetTourConfhub">
<method name="SetPresetTourRunning"><arg type="s" direction="in"/>
<arg type="s" direction="in"/></method></interface></node>"""


class Listener:
    """Owns com.vorn.PresetTour and records SetPresetTourRunning calls."""

    def __init__(self, address):
        self.calls = []
        self.conn = Gio.DBusConnection.new_for_address_sync(
            address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
            | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        info = Gio.DBusNodeInfo.new_for_xml(CONFHUB_XML).interfaces[0]
        self.conn.register_object("/com/vorn/PresetTour", info, self._on_call,
                                  None, None)
        reply = self.conn.call_sync(
            "org.freedesktop.DBus", "/org/freedesktop/DBus",
            "org.freedesktop.DBus", "RequestName",
            GLib.Variant("(su)", ("com.vorn.PresetTour", 4)),
            GLib.VariantType("(u)"), Gio.DBusCallFlags.NONE, -1, None)
        assert reply.unpack() == (1,)

    def _on_call(self, conn, sender, path, iface, method, params, invocation):
        no_reply = bool(invocation.get_message().get_flags()
                        & Gio.DBusMessageFlags.NO_REPLY_EXPECTED)
        self.calls.append((iface, method, tuple(params.unpack()), no_reply))
        invocation.return_value(None)

    def wait_for(self, count, timeout=10.0):
        ctx = GLib.MainContext.default()
        end = time.monotonic() + timeout
        while len(self.calls) < count and time.monotonic() < end:
            if not ctx.iteration(False):
                time.sleep(0.005)
        return len(self.calls) >= count

    def close(self):
        self.conn.close_sync(None)


@pytest.fixture
def listener(private_bus):
    lst = Listener(private_bus.address)
    yield lst
    lst.close()


class TestRunningNotification:
    marker = 0

    def calls_of(self, paramctl, listener, *args, input=None, code=0):
        """Runs paramctl, then a marker write whose call is awaited, and
        returns the calls that came before the marker."""
        start = len(listener.calls)
        r = paramctl(*args, input=input)
        assert r.returncode == code, r.stderr
        TestRunningNotification.marker += 1
        mark = str(TestRunningNotification.marker)
        assert paramctl("set", f"root.RezazErar.G999.Running={mark}").returncode == 0
        end = start
        while True:
            assert listener.wait_for(end + 1), "marker call never arrived"
            if listener.calls[end][2] == (mark, "G999"):
                break
            end += 1
        got = listener.calls[start:end]
        del listener.calls[end]
        for iface, method, _, no_reply in got:
            assert (iface, method, no_reply) == (
                "com.vorn.PresetTourConfhub", "SetPresetTourRunning", True)
        return [c[2] for c in got]

    def test_only_changed_running_values_are_announced(self, paramctl, listener):
        run = lambda *a, **k: self.calls_of(paramctl, listener, *a, **k)  # noqa: E731
        assert run("set", "root.RezazErar.G1.Running=yes") == [("yes", "G1")]
        assert run("set", "root.RezazErar.G1.Running=yes") == []
        assert run("set", "root.RezazErar.G1.Running=no",
                   "root.RezazErar.G1.Name=x",
                   "root.RezazErar.G2.Running=yes") == [("no", "G1"), ("yes", "G2")]
        assert run("set", "root.RezazErar.G3.Name=n",
                   "root.RezazErar.Gx.Running=yes",
                   "root.RezazErar.G4.Tour.T0.Running=yes",
                   "root.RezazErar.G5.RunningX=yes",
                   "other.G6.Running=yes") == []
        # Changed and changed back within one command: nothing to announce.
        assert run("set", "root.RezazErar.G1.Running=yes",
                   "root.RezazErar.G1.Running=no") == []

    def test_import_announces_and_refused_import_does_not(self, paramctl, listener):
        run = lambda *a, **k: self.calls_of(paramctl, listener, *a, **k)  # noqa: E731
        assert run("set", "root.RezazErar.G1.Running=no") == [("no", "G1")]
        text = ("root.RezazErar.G1.Running=no\n"
                "root.RezazErar.G7.Running=yes\n"
                "root.RezazErar.G7.CamNbr=2\n")
        assert run("import", input=text) == [("yes", "G7")]
        assert run("import", input="root.RezazErar.G1.Running=yes\nbad\n",
                   code=1) == []
        assert run("delete", "root.RezazErar.G7") == []

    def test_without_daemon_or_bus_nothing_fails(self, paramctl, private_bus,
                                                 monkeypatch):
        assert paramctl("set", "root.RezazErar.G1.Running=yes").returncode == 0
        monkeypatch.setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus")
        assert paramctl("set", "root.RezazErar.G1.Running=no").returncode == 0
        assert paramctl("get", "root.RezazErar.G1.Running").stdout == "no\n"
