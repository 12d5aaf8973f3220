"""paramctl: commands, escaping, ownership, unusable stores, Running notification."""
import os
import resource
import signal
import socket
import sqlite3
import subprocess
import tempfile

import pytest
from gi.repository import Gio

from conftest import ENDLESS_VIEW, NO_BUS, wait_until

USAGE_ERRORS = [(), ("bogus",), ("get",), ("set",), ("set", "novalue"), ("set", "=v"),
                ("list", "a", "b"), ("delete", "a", "b"), ("import", "a", "b")]
BAD_LINES = ["no equals", "=v", "r..x=1", " r.x=1", "r.x=a\0b", "r.x=a\\x00b", "r.x=\\q", "r.x=a\\"]
# (arguments, stdin, exit status, stdout when it is 0, else words of stderr), run in
# order on one store; each failing step writes nothing, as the listings show
SESSION = [
    *((args, None, 2, "usage: paramctl") for args in USAGE_ERRORS),
    *((("import",), f"# c\nroot.a=1\n\n{bad}\nroot.b=2\n", 1, "line 4") for bad in BAD_LINES),
    (("import", "/nonexistent/tours.txt"), None, 1, "cannot read"),
    (("set", "root.A.x=1", "root.A.y=", "o.F=on"), None, 0, ""),
    (("get", "root.none"), None, 1, "no such parameter"),
    (("get", "bad..name"), None, 1, "no such parameter"),
    (("set", "root.ok=1", "root..bad=2"), None, 1, "invalid parameter name"),
    (("delete", "root.A"), None, 0, ""),
    (("delete", "root.A"), None, 1, "no such group"),
    (("list",), None, 0, "o.F=on\n"),
    # groups are listed in the order they were first written
    (("set", "r.G3.Running=no", "r.G0.Running=yes"), None, 0, ""),
    (("set", "r.G3.T1.Preset=4", "r.G0.Name=z"), None, 0, ""),
    (("list", "r"), None, 0, "r.G3.Running=no\nr.G3.T1.Preset=4\nr.G0.Running=yes\nr.G0.Name=z\n"),
    (("list", "root.Absent"), None, 0, ""),
    (("delete", "r"), None, 0, ""),
    (("import",), "# c\n\nroot.G1.Running=no\n   \nroot.G1.Name=a=b\r\nroot.G1.W=\n", 0, ""),
    (("list",), None, 0, "o.F=on\nroot.G1.Running=no\nroot.G1.Name=a=b\nroot.G1.W=\n"),
    (("--help",), None, 0, None),
]


def test_commands_exit_codes_and_messages(paramctl):
    for args, stdin, status, output in SESSION:
        r = paramctl.run(*args, input=stdin)
        assert r.returncode == status, (args, r.stderr)
        assert output is None or (output in r.stderr if status else r.stdout == output), args


# name -> value, as bytes: what a listing must carry through an import
HOSTILE = {b"root.RezazErar.G1.Name": b"x\nroot.RezazErar.G1.CamNbr=9", b"root.t.cr": b"a\rb\r",
           b"root.t.esc": b"\x1b]0;title\x07\x1b[2J\x9b\xc2\x9b", b"root.t.bs": b"\\n\\x41\\",
           b"root.t.bytes": b"\xff\xfe\x80\x7f\x01\t", b"root.t.eq": b"=a=b=", b"root.t.e": b"",
           b"root.t.big": b"\xe9" * 10000, b"root.t.plain": "two, café".encode(), b"#r.x\\y": b"#"}


def test_listing_imported_again_gives_back_every_byte_and_shows_no_control(paramctl, tmp_path,
                                                                             monkeypatch):
    def run(*args):
        return subprocess.run([paramctl.exe, *args], capture_output=True, timeout=30)
    assert run("set", *(n + b"=" + v for n, v in HOSTILE.items())).returncode == 0
    shown = [run("get", name).stdout for name in HOSTILE] + run("list").stdout.splitlines(True)
    assert all(line.endswith(b"\n") and line[:-1].decode().isprintable() for line in shown)
    assert run("get", b"root.t.plain").stdout == HOSTILE[b"root.t.plain"] + b"\n"
    (tmp_path / "listing").write_bytes(run("list").stdout)
    monkeypatch.setenv("PARAM_STORE_PATH", str(tmp_path / "copy.db"))
    assert run("import", tmp_path / "listing").returncode == 0
    with sqlite3.connect(tmp_path / "copy.db") as copy:
        copy.text_factory = bytes
        assert dict(copy.execute("SELECT name, value FROM params")) == HOSTILE


# (folder uid, gid, mode; who creates the store, who writes next): 4343 stands for the
# operators' group, 65534 for the service account; only root can give a file away.
OWNERS = [(65534, 4343, 0o2770, (0, 0), (65534, 65534)), (0, 4343, 0o770, (4242,) * 2, (4243,) * 2)]


@pytest.mark.parametrize("uid, gid, mode, creator, writer", OWNERS)
def test_created_files_take_the_folders_owners_and_let_its_group_write(paramctl, monkeypatch, uid,
                                                                      gid, mode, creator, writer):
    with tempfile.TemporaryDirectory() as folder:  # not under pytest's root-only folder
        os.chown(folder, uid, gid)
        os.chmod(folder, mode)
        monkeypatch.setenv("PARAM_STORE_PATH", f"{folder}/params.db")
        for account in creator, writer:
            assert subprocess.run(["setpriv", "--reuid=%d" % account[0], "--regid=%d" % account[1],
                                   f"--groups={gid}", paramctl.exe, "set", "a.b=1"]).returncode == 0
            for st in (os.stat(f"{folder}/params.db{suffix}") for suffix in ("", "-wal", "-shm")):
                owner = uid if creator[0] == 0 else creator[0]
                assert (st.st_uid, st.st_gid, st.st_mode & 0o060) == (owner, gid, 0o060)


# (a file planted beside the store; its text, a link, a hard link or SQL run on a store;
# PARAM_STORE_PATH; message)
UNUSABLE = [("params.db", "text\n", "params.db", "params.db: file is not a database"),
            ("params.db", "link", "params.db", "params.db is not a regular file"),
            ("params.db-wal", "link", "params.db", "params.db-wal is not a regular file"),
            ("params.db", "hard link", "params.db", "params.db has more than one link"),
            ("params.db-shm", "hard link", "params.db", "params.db-shm has more than one link"),
            ("params.db", ENDLESS_VIEW, "params.db", "params.db: its schema is not the store's"),
            ("params.db", "CREATE TRIGGER t AFTER UPDATE ON params BEGIN SELECT 1; END",
             "params.db", "params.db: its schema is not the store's"),
            (None, None, "", "PARAM_STORE_PATH is set but empty")]


@pytest.mark.parametrize("name, plant, path, said", UNUSABLE, ids=[
    "text", "link", "wal-link", "hard-link", "shm-hard-link", "endless-view", "trigger", "no-path"])
def test_unusable_store_fails_naming_the_cause_and_follows_no_link(paramctl, tmp_path, monkeypatch,
                                                                    name, plant, path, said):
    victim = tmp_path / "t"  # a link points at it: it must never come to be, or change
    monkeypatch.setenv("PARAM_STORE_PATH", str(tmp_path / path) if path else "")
    if plant == "hard link":
        victim.touch()
        os.link(victim, tmp_path / name)
    elif plant == "link":
        (tmp_path / name).symlink_to(victim)
    elif plant and plant.startswith(("ALTER", "CREATE")):
        paramctl.run("set", "a.b=1")
        with sqlite3.connect(tmp_path / name) as db:
            db.executescript(plant)
    elif name:
        (tmp_path / name).write_text(plant)
    for args in (["set", "a.b=1"], ["get", "a.b"], ["list"]):
        result = paramctl.run(*args)
        assert result.returncode == 1 and said in result.stderr, (args, result.stderr)
    assert (victim.stat().st_size if victim.exists() else None) == (0 if plant == "hard link" else None)


def test_a_write_the_disk_refuses_says_why(paramctl):
    def small_files():  # a full disk, as far as SQLite can tell
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))
    result = subprocess.run([paramctl.exe, "set", "a.b=" + "x" * 100000], preexec_fn=small_files,
                            capture_output=True, text=True, timeout=30)
    assert result.returncode == 1 and "params.db: disk I/O error" in result.stderr, result.stderr


@pytest.fixture
def listener(bus):
    """Owns the daemon's name; records a no-reply SetPresetTourRunning as (running, group)."""
    calls = []

    def on_message(_conn, message, incoming):
        if incoming and message.get_message_type() == Gio.DBusMessageType.METHOD_CALL:
            ok = (message.get_path(), message.get_interface(), message.get_member()) == (
                "/com/vorn/PresetTour", "com.vorn.PresetTourConfhub", "SetPresetTourRunning")
            ok = ok and message.get_flags() & Gio.DBusMessageFlags.NO_REPLY_EXPECTED
            calls.append(tuple(message.get_body().unpack()) if ok else message.print_(0))
        return message
    bus.conn.add_filter(on_message)
    assert bus.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                    "RequestName", "(su)", ("com.vorn.PresetTour", 4)).unpack() == (1,)
    return calls


# (arguments, stdin, calls expected), run in order on one store
NOTIFICATIONS = [
    (("set", "root.RezazErar.G1.Running=yes"), None, [("yes", "G1")]),
    (("set", "root.RezazErar.G1.Running=yes"), None, []),
    (("set", "root.RezazErar.G1.Running=no", "root.RezazErar.G1.Name=x",
      "root.RezazErar.G2.Running=yes"), None, [("no", "G1"), ("yes", "G2")]),
    (("set", "root.RezazErar.G3.Name=n", "root.RezazErar.Gx.Running=yes", "other.G6.Running=yes",
      "root.RezazErar.G.Running=yes",
      "root.RezazErar.G4.Tour.T0.Running=yes", "root.RezazErar.G5.RunningX=yes"), None, []),
    (("set", "root.RezazErar.G1.Running=yes", "root.RezazErar.G1.Running=no"), None, []),  # same
    (("import",), "root.RezazErar.G1.Running=no\nroot.RezazErar.G7.Running=yes\n", [("yes", "G7")]),
    (("import",), "root.RezazErar.G1.Running=yes\nbad\n", []),  # refused
    (("delete", "root.RezazErar.G7"), None, []),  # deleting announces nothing
]


def test_running_is_announced_exactly_when_it_changes(paramctl, listener):
    for step, (args, stdin, expected) in enumerate(NOTIFICATIONS):
        paramctl.run(*args, input=stdin)
        marker = ("m", f"G99{step}")  # written after the step: what comes before is the step's
        assert paramctl.run("set", f"root.RezazErar.{marker[1]}.Running=m").returncode == 0
        assert wait_until(lambda: marker in listener), args
        assert listener[:listener.index(marker)] == expected, args
        del listener[:listener.index(marker) + 1]


def test_no_daemon_no_bus_or_a_mute_bus_never_fail_a_committed_set(paramctl, tmp_path, monkeypatch):
    with socket.socket(socket.AF_UNIX) as mute:  # connections queue, nothing ever answers
        mute.bind(str(tmp_path / "bus"))
        mute.listen()
        private_bus = os.environ["DBUS_SYSTEM_BUS_ADDRESS"]
        for step, address in enumerate([private_bus, NO_BUS, f"unix:path={tmp_path / 'bus'}"]):
            monkeypatch.setenv("DBUS_SYSTEM_BUS_ADDRESS", address)
            result = subprocess.run([paramctl.exe, "set", f"root.RezazErar.G1.Running={step}"],
                                    capture_output=True, text=True, timeout=15)
            assert (result.returncode, paramctl.get("root.RezazErar.G1.Running")) == (0, str(step))
    assert "did not answer" in result.stderr
