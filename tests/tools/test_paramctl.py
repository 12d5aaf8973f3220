"""paramctl against a fresh store: commands, exit codes, import rules, and
the SetPresetTourRunning notification seen by a listener on a private bus."""
import pytest
from gi.repository import Gio

from conftest import NO_BUS, wait_until

# (arguments, stdin, exit status, stdout), run in order on one store
SESSION = [
    (("set", "root.A.x=1", "root.A.eq=b=c", "root.A.empty=", "root.A.sp=two words"),
     None, 0, ""),
    (("get", "root.A.eq"), None, 0, "b=c\n"),
    (("get", "root.A.empty"), None, 0, "\n"),
    (("get", "root.A.sp"), None, 0, "two words\n"),
    (("get", "root.none"), None, 1, ""),
    (("get", "bad..name"), None, 1, ""),
    (("set", "root.ok=1", "root..bad=2"), None, 1, ""),  # writes nothing
    (("delete", "root.A"), None, 0, ""),
    (("delete", "root.A"), None, 1, ""),
    # groups are listed in the order they were first written
    (("set", "root.RezazErar.G3.Running=no", "root.RezazErar.G0.Running=yes", "o.F=on"),
     None, 0, ""),
    (("set", "root.RezazErar.G3.Tour.T1.PresetNbr=4", "root.RezazErar.G0.Name=z"),
     None, 0, ""),
    (("list", "root.RezazErar"), None, 0,
     "root.RezazErar.G3.Running=no\nroot.RezazErar.G3.Tour.T1.PresetNbr=4\n"
     "root.RezazErar.G0.Running=yes\nroot.RezazErar.G0.Name=z\n"),
    (("list", "root.Absent"), None, 0, ""),
    (("delete", "root"), None, 0, ""),
    (("import",), "# c\n\nroot.G1.Running=no\n   \nroot.G1.Name=a=b\r\nroot.G1.W=\n", 0, ""),
    (("list",), None, 0, "o.F=on\nroot.G1.Running=no\nroot.G1.Name=a=b\nroot.G1.W=\n"),
    (("import", "/nonexistent/tours.txt"), None, 1, ""),
    (("--help",), None, 0, None),
]


def test_commands_and_exit_codes(paramctl):
    for args, stdin, status, stdout in SESSION:
        result = paramctl.run(*args, input=stdin)
        assert result.returncode == status, (args, result.stderr)
        assert stdout is None or result.stdout == stdout, args
        if status:
            assert result.stderr, args


def test_import_from_a_file(paramctl, tmp_path):
    (tmp_path / "t.txt").write_text("root.G1.Running=no\n")
    assert paramctl.run("import", tmp_path / "t.txt").returncode == 0
    assert paramctl.list() == ["root.G1.Running=no"]


@pytest.mark.parametrize("args", [
    [], ["bogus"], ["get"], ["get", "a", "b"], ["set"], ["set", "novalue"], ["set", "=v"],
    ["list", "a", "b"], ["delete"], ["delete", "a", "b"], ["import", "f1", "f2"]])
def test_usage_errors_exit_2_and_write_nothing(paramctl, args):
    result = paramctl.run(*args)
    assert (result.returncode, result.stderr[:15]) == (2, "usage: paramctl")
    assert paramctl.list() == []


@pytest.mark.parametrize("bad", ["no equals sign", "=value", "root..x=1", " root.x=1"])
def test_malformed_import_is_refused_with_its_line_and_writes_nothing(paramctl, bad):
    result = paramctl.run("import", input=f"# c\nroot.a=1\n\n{bad}\nroot.b=2\n")
    assert result.returncode == 1 and "line 4" in result.stderr
    assert paramctl.list() == []


def test_unusable_store_fails(paramctl, tmp_path, monkeypatch):
    (tmp_path / "file").write_text("")
    monkeypatch.setenv("PARAM_STORE_PATH", str(tmp_path / "file" / "params.db"))
    for args in (["set", "a.b=1"], ["get", "a.b"], ["list"], ["delete", "a"]):
        assert paramctl.run(*args).returncode == 1, args


CONFHUB_XML = """<node><interface name="com.vorn.PresetTourConfhub">
<method name="SetPresetTourRunning"><arg type="s" direction="in"/>
<arg type="s" direction="in"/></method></interface></node>"""


@pytest.fixture
def listener(private_bus, bus):
    """Owns the daemon's name and records SetPresetTourRunning calls that
    ask for no reply as (running, group)."""
    calls = []

    def on_call(_conn, _sender, _path, iface, method, params, invocation):
        no_reply = invocation.get_message().get_flags() & Gio.DBusMessageFlags.NO_REPLY_EXPECTED
        # An assertion here would be lost in the callback: a wrong call is
        # recorded so that the comparison of the calls fails instead.
        ok = method == "SetPresetTourRunning" and no_reply
        calls.append(tuple(params.unpack()) if ok else (iface, method, no_reply))
        invocation.return_value(None)
    info = Gio.DBusNodeInfo.new_for_xml(CONFHUB_XML).interfaces[0]
    bus.conn.register_object("/com/vorn/PresetTour", info, on_call, None, None)
    assert bus.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                    "RequestName", "(su)", ("com.vorn.PresetTour", 4)).unpack() == (1,)
    return calls


# (arguments, stdin, calls expected), run in order on one store
NOTIFICATIONS = [
    (("set", "root.RezazErar.G1.Running=yes"), None, [("yes", "G1")]),
    (("set", "root.RezazErar.G1.Running=yes"), None, []),
    (("set", "root.RezazErar.G1.Running=no", "root.RezazErar.G1.Name=x",
      "root.RezazErar.G2.Running=yes"), None, [("no", "G1"), ("yes", "G2")]),
    (("set", "root.RezazErar.G3.Name=n", "root.RezazErar.Gx.Running=yes",
      "root.RezazErar.G4.Tour.T0.Running=yes", "root.RezazErar.G5.RunningX=yes",
      "other.G6.Running=yes"), None, []),
    # changed and changed back within one command: nothing to announce
    (("set", "root.RezazErar.G1.Running=yes", "root.RezazErar.G1.Running=no"), None, []),
    (("import",), "root.RezazErar.G1.Running=no\nroot.RezazErar.G7.Running=yes\n",
     [("yes", "G7")]),
    (("import",), "root.RezazErar.G1.Running=yes\nbad\n", []),  # refused
    (("delete", "root.RezazErar.G7"), None, []),
]


def test_running_is_announced_exactly_when_it_changes(paramctl, listener):
    for step, (args, stdin, expected) in enumerate(NOTIFICATIONS):
        paramctl.run(*args, input=stdin)
        # A marker write after each step: what comes before it is the step's.
        marker = ("m", f"G99{step}")
        assert paramctl.run("set", f"root.RezazErar.{marker[1]}.Running=m").returncode == 0
        assert wait_until(lambda: marker in listener), args
        assert listener[:listener.index(marker)] == expected, args
        del listener[:listener.index(marker) + 1]


def test_without_daemon_or_bus_nothing_fails(paramctl, monkeypatch):
    assert paramctl.run("set", "root.RezazErar.G1.Running=yes").returncode == 0
    monkeypatch.setenv("DBUS_SYSTEM_BUS_ADDRESS", NO_BUS)
    assert paramctl.run("set", "root.RezazErar.G1.Running=no").returncode == 0
    assert paramctl.get("root.RezazErar.G1.Running") == "no"
