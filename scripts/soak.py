#!/usr/bin/python3
"""A bus fuzz pass and a soak of patrold on a system-like bus; prints figures.

Run as root. The build is installed into a scratch root (meson install
--destdir); dbus-daemon runs Debian's system.conf with the installed policy
and data/ptz-sim.conf; ptz-sim runs as root and patrold starts as root with
the unit's G_SLICE and takes its account. The accounts it needs (patrold,
patrold-operators, an operator) are made when missing and removed after.

1. Tours 1-4 on cameras 1-4 get hostile names (a byte that is not UTF-8,
   C0 and C1 controls, bidi overrides, 1 MB) and play.
2. Fuzz: root introspects every object of patrold's name and calls every
   method, and gets, gets all and sets every property, FUZZ_ROUNDS times
   with random arguments of the declared signature. Every call must be
   answered (a reply or an error) within 10 s.
3. Soak for SECONDS: every few seconds a tour is renamed (a hostile name
   again) and played or stopped; an operator floods patrold's reads from
   16 connections that never read a reply during the second fifth, nobody
   during the fourth (bench/flood.py); root reads a status property every
   50 ms throughout.
4. Figures: alive, RSS before the first flood and 10 s after the last one,
   root's read p50/p99 per phase. Exit 1 if patrold died, a fuzz call went
   unanswered, RSS grew by more than 2 MB or a p99 reached 50 ms.

   scripts/soak.py [--build-dir DIR] [--seconds 300] [--fuzz-rounds 20] [--seed 1]
"""
import argparse
import contextlib
import json
import os
import pathlib
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from conftest import (SERVICE, SIM_SERVICE, BusClient, ParamCtl, Simulator,  # noqa: E402
                      remote_error, stop_process, tour_lines, wait_until)
from gi.repository import Gio, GLib  # noqa: E402

OPERATOR = "patrold-soak-operator"
STATUS = "/com/vorn/PresetTourStatus"
CAMERA_IFACE = "com.vorn.PresetTourStatus.Camera"
# Escaped as paramctl imports them.
HOSTILE_NAMES = ["Caf\\xe9", "red\\x1b[31m\\x07bell", "c1\\xc2\\x9b\\xc2\\x9dend",
                 "bidi\\xe2\\x80\\xaeevil", "nul-free\\x7f", "N" * 1_000_000]
RSS_BOUND_KB, P99_BOUND_MS = 2048, 50.0


def rss_kb(pid):
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


@contextlib.contextmanager
def accounts(sysusers):
    """The installed sysusers file applied to this machine, and an operator."""
    made = [(kind, name) for kind, name in (("user", OPERATOR), ("user", "patrold"),
                                            ("group", "patrold-operators"))
            if subprocess.run(["getent", {"user": "passwd"}.get(kind, kind), name],
                              capture_output=True).returncode]
    subprocess.run(["systemd-sysusers", sysusers], check=True, timeout=60)
    if ("user", OPERATOR) in made:
        subprocess.run(["useradd", "--system", "-U", "--groups", "patrold-operators", OPERATOR],
                       check=True)
    try:
        yield
    finally:
        for kind, name in made:
            subprocess.run([f"{kind}del", name], check=False)


def split_types(signature):
    """The complete types a signature is made of."""
    types, i = [], 0
    while i < len(signature):
        j = i
        while signature[j] == "a":
            j += 1
        if signature[j] in "({":
            depth = 0
            for j in range(j, len(signature)):
                depth += signature[j] in "({"
                depth -= signature[j] in ")}"
                if depth == 0:
                    break
        types.append(signature[i:j + 1])
        i = j + 1
    return types


def random_value(code, rng, depth=0):
    """A random Python value of the complete type `code`."""
    if code in ("y", "n", "q", "i", "u", "x", "t"):
        bits = {"y": 8, "n": 16, "q": 16, "i": 32, "u": 32, "x": 64, "t": 64}[code]
        low = -(1 << (bits - 1)) if code in "nix" else 0
        high = (1 << (bits - 1)) - 1 if code in "nix" else (1 << bits) - 1
        return rng.choice([low, high, 0, -1 if low else 1, rng.randint(low, high)])
    if code == "b":
        return rng.random() < 0.5
    if code == "d":
        return rng.choice([0.0, -1e308, 1e308, float("nan"), rng.uniform(-1e6, 1e6)])
    if code == "s":
        return rng.choice(["", "yes", "no", "G1", "G99999999999", "\u202e", "\x1b[31m",
                           "\u009b", "x" * rng.choice([1, 300, 70000])])
    if code == "o":
        return rng.choice(["/", "/com/vorn/PresetTour", "/a/b"])
    if code == "g":
        return rng.choice(["", "i", "a{sv}"])
    if code == "v":
        inner = rng.choice(["i", "s", "b", "as"])
        return GLib.Variant(inner, random_value(inner, rng, depth + 1))
    if code.startswith("a{"):
        key, value = split_types(code[2:-1])
        return {random_value(key, rng, depth + 1): random_value(value, rng, depth + 1)
                for _ in range(rng.randint(0, 3 if depth < 2 else 0))}
    if code.startswith("a"):
        return [random_value(code[1:], rng, depth + 1)
                for _ in range(rng.randint(0, 3 if depth < 2 else 0))]
    if code.startswith("("):
        return tuple(random_value(member, rng, depth + 1) for member in split_types(code[1:-1]))
    raise ValueError(f"no random value for {code}")


def fuzz(client, rounds, rng):
    """Every method and property of every object of patrold's name, as root."""
    figures = {"objects": 0, "calls": 0, "unanswered": 0, "errors": {}}

    def call(path, iface, method, signature, args):
        figures["calls"] += 1
        try:
            client.call(SERVICE, path, iface, method, signature, args, timeout_ms=10000)
        except GLib.Error as exc:
            if not exc.message.startswith("GDBus.Error:"):
                figures["unanswered"] += 1
                return
            name = remote_error(exc)[0]
            figures["errors"][name] = figures["errors"].get(name, 0) + 1

    paths = ["/"]
    while paths:
        path = paths.pop()
        xml = client.call(SERVICE, path, "org.freedesktop.DBus.Introspectable",
                          "Introspect").unpack()[0]
        node = Gio.DBusNodeInfo.new_for_xml(xml)
        paths += [f"{path.rstrip('/')}/{child.path}" for child in node.nodes]
        figures["objects"] += bool(node.interfaces)
        for iface in node.interfaces:
            for _ in range(rounds):
                for method in iface.methods:
                    signature = "(" + "".join(arg.signature for arg in method.in_args) + ")"
                    args = random_value(signature, rng)
                    call(path, iface.name, method.name, signature, args)
                for prop in iface.properties:
                    props = "org.freedesktop.DBus.Properties"
                    call(path, props, "Get", "(ss)", (iface.name, prop.name))
                    value = GLib.Variant(prop.signature, random_value(prop.signature, rng))
                    call(path, props, "Set", "(ssv)", (iface.name, prop.name, value))
                call(path, "org.freedesktop.DBus.Properties", "GetAll", "(s)", (iface.name,))
    return figures


def percentiles(values):
    ordered = sorted(values) or [float("nan")]
    return {"reads": len(values), "p50_ms": round(statistics.median(ordered) * 1000, 2),
            "p99_ms": round(ordered[int(0.99 * (len(ordered) - 1))] * 1000, 2)}


def soak(daemon_pid, root, paramctl, address, seconds, rng):
    phases = {"operator flood": (0.2, 0.4, OPERATOR), "nobody flood": (0.6, 0.8, "nobody")}
    reads = {name: [] for name in ("quiet", *phases)}
    # Another service's answer through the same bus: what the bus alone costs.
    floor = {name: [] for name in reads}
    figures, flood, next_change = {}, None, 0.0
    start = time.monotonic()
    while (now := time.monotonic() - start) < seconds or flood:
        phase = next((name for name, (a, b, _) in phases.items()
                      if a * seconds <= now < b * seconds), "quiet")
        if flood and flood[0] != phase:
            figures[flood[0]] = json.loads(flood[1].communicate(timeout=60)[0] or "{}")
            flood = None
        if phase != "quiet" and not flood:
            if phase == "operator flood":
                figures["rss_before_floods_kb"] = rss_kb(daemon_pid)
            account, end = phases[phase][2], phases[phase][1] * seconds
            flood = (phase, subprocess.Popen(
                [sys.executable, ROOT / "bench" / "flood.py", address, str(end - now),
                 "--account", account], stdout=subprocess.PIPE, text=True))
        if now >= next_change and phase == "quiet":
            tour = rng.randint(1, 4)
            paramctl.import_lines([f"root.RezazErar.G{tour}.Name={rng.choice(HOSTILE_NAMES)}"])
            root.call(SERVICE, "/com/vorn/PresetTour", "com.vorn.PresetTour",
                      rng.choice(["PlayPresetTour", "PlayPresetTour", "StopPresetTour"]),
                      "(i)", (tour,))
            next_change = now + 5
        began = time.monotonic()
        root.call(SERVICE, f"{STATUS}/Camera1", "org.freedesktop.DBus.Properties", "Get",
                  "(ss)", (CAMERA_IFACE, "State"), timeout_ms=30000)
        reads[phase].append(time.monotonic() - began)
        began = time.monotonic()
        root.call(SIM_SERVICE, "/", "org.freedesktop.DBus.Peer", "Ping", timeout_ms=30000)
        floor[phase].append(time.monotonic() - began)
        figures["rss_peak_kb"] = max(figures.get("rss_peak_kb", 0), rss_kb(daemon_pid))
        time.sleep(0.05)
    time.sleep(10)
    figures["rss_10s_after_floods_kb"] = rss_kb(daemon_pid)
    figures["root_status_read"] = {name: percentiles(values) for name, values in reads.items()}
    figures["root_ping_of_ptz_sim"] = {name: percentiles(v) for name, v in floor.items()}
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", type=pathlib.Path, default=ROOT / "build")
    parser.add_argument("--seconds", type=float, default=300)
    parser.add_argument("--fuzz-rounds", type=int, default=20)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("scripts/soak.py: run as root (real accounts, a system-like bus)")
    build, rng = args.build_dir.resolve(), random.Random(args.seed)
    with contextlib.ExitStack() as cleanup:
        tmp = pathlib.Path(tempfile.mkdtemp(prefix="patrold-soak-"))
        cleanup.callback(shutil.rmtree, tmp, True)
        subprocess.run(["meson", "install", "-C", build, "--destdir", tmp / "root",
                        "--no-rebuild", "--quiet"], check=True, timeout=300)
        prefix = tmp / "root" / "usr" / "local"
        cleanup.enter_context(accounts(prefix / "lib" / "sysusers.d" / "patrold.conf"))
        policy = prefix / "share" / "dbus-1" / "system.d"
        (tmp / "bus.conf").write_text(subprocess.run(
            [ROOT / "scripts" / "system-bus-conf.sh", "unix:tmpdir=/tmp", policy,
             ROOT / "data" / "ptz-sim.conf"], check=True, capture_output=True, text=True).stdout)
        # The bus logs every call it refuses, hundreds of thousands in a
        # flood; a device's journal takes them, here they would measure the
        # terminal.
        bus = subprocess.Popen(["dbus-daemon", f"--config-file={tmp / 'bus.conf'}", "--nofork",
                                "--print-address=1"], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
        cleanup.callback(stop_process, bus)
        address = bus.stdout.readline().strip()
        store = tmp / "store"
        store.mkdir()
        shutil.chown(store, "patrold", "patrold-operators")
        os.chmod(tmp, 0o755)
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address,
                   PARAM_STORE_PATH=str(store / "params.db"), G_SLICE="always-malloc")
        os.environ.update(env)
        root = BusClient(address)
        paramctl = ParamCtl(build / "paramctl")
        lines = []
        for tour in range(1, 5):
            lines += tour_lines(tour, camera=tour, presets=(1, 2, 3), running="yes")
            lines.append(f"root.RezazErar.G{tour}.Name={HOSTILE_NAMES[-tour]}")
        paramctl.import_lines(lines)
        sim = Simulator(build / "ptz-sim", root)
        cleanup.callback(sim.stop)
        daemon = subprocess.Popen([build / "patrold", "-n"], env=env)
        cleanup.callback(stop_process, daemon)
        if not wait_until(lambda: root.has_owner(SERVICE), 30):
            sys.exit("scripts/soak.py: patrold did not take its bus name")
        started = time.monotonic()
        figures = {"fuzz": fuzz(root, args.fuzz_rounds, rng)}
        figures["fuzz"]["seconds"] = round(time.monotonic() - started, 1)
        figures["soak"] = soak(daemon.pid, root, paramctl, address, args.seconds, rng)
        figures["alive"] = daemon.poll() is None and root.has_owner(SERVICE)
        status = stop_process(daemon)
        figures["exit_status"] = status
    print(json.dumps(figures, indent=2))
    soaked = figures["soak"]
    growth = soaked["rss_10s_after_floods_kb"] - soaked["rss_before_floods_kb"]
    worst = max(r["p99_ms"] for r in soaked["root_status_read"].values())
    print(f"alive {figures['alive']}, exit {status}; fuzz {figures['fuzz']['calls']} calls, "
          f"{figures['fuzz']['unanswered']} unanswered; RSS {growth:+} kB 10 s after the "
          f"floods (bound {RSS_BOUND_KB}); worst root read p99 {worst} ms (bound {P99_BOUND_MS})")
    ok = (figures["alive"] and status == 0 and figures["fuzz"]["unanswered"] == 0
          and growth <= RSS_BOUND_KB and worst < P99_BOUND_MS)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
