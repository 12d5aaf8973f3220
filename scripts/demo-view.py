#!/usr/bin/python3
"""Live view of the demo: every simulated head and the tour that drives it,
redrawn about twice a second from ptz-sim's GetState and the store, beside
patrold's own status of each camera (followed through PropertiesChanged)."""
import argparse
import json
import subprocess
import sys
import time

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--paramctl", required=True)
    parser.add_argument("--no-clear", action="store_true")
    parser.add_argument("--state-file")
    # Kept at the top of every frame: the clearing would take it off the screen.
    parser.add_argument("--header", default="")
    return parser.parse_args()


def sim_state(bus):
    reply = bus.call_sync("com.vorn.PTZ.Coordinator", "/com/vorn/PTZ/Simulator",
                          "com.vorn.PTZ.Simulator", "GetState", None, None,
                          Gio.DBusCallFlags.NONE, 5000, None)
    return json.loads(reply.unpack()[0])


STATUS_ROOT = "/com/vorn/PresetTourStatus"
STATUS_IFACE = "com.vorn.PresetTourStatus.Camera"


class DaemonStatus:
    """patrold's status objects: one GetManagedObjects, then only the
    PropertiesChanged signals, which patrold sends when something changes."""

    def __init__(self, bus):
        self.cameras = {}
        bus.signal_subscribe("com.vorn.PresetTour", "org.freedesktop.DBus.Properties",
                             "PropertiesChanged", None, STATUS_IFACE,
                             Gio.DBusSignalFlags.NONE, self.changed)
        try:
            reply = bus.call_sync("com.vorn.PresetTour", STATUS_ROOT,
                                  "org.freedesktop.DBus.ObjectManager", "GetManagedObjects",
                                  None, None, Gio.DBusCallFlags.NONE, 5000, None)
        except GLib.Error as error:
            print(f"demo-view: no daemon status: {error.message}", file=sys.stderr)
            return
        for interfaces in reply.unpack()[0].values():
            if STATUS_IFACE in interfaces:
                self.cameras[interfaces[STATUS_IFACE]["Camera"]] = interfaces[STATUS_IFACE]

    def changed(self, _conn, _sender, path, _iface, _signal, params):
        camera = int(path.rsplit("Camera", 1)[1])
        self.cameras.setdefault(camera, {}).update(params.unpack()[1])

    def describe(self, camera_id):
        status = self.cameras.get(camera_id)
        if not status:
            return "?"
        state = status["State"]
        if state == "dwelling":
            left = max(0.0, status["DwellUntil"] / 1e6 - time.time())
            text = f"dwelling {left:4.1f} s"
        elif state == "moving" and status["Preset"] >= 0:
            text = f"moving to {status['Preset']}"
        else:
            text = state
        return text + (" blocked" if status["Blocked"] else "")


def tours(paramctl):
    """{tour id: {leaf: value}} of the tour-level parameters."""
    listing = subprocess.run([paramctl, "list", "root.RezazErar"],
                             capture_output=True, text=True).stdout
    result = {}
    for line in listing.splitlines():
        name, _, value = line.partition("=")
        parts = name.split(".")
        if len(parts) == 4 and parts[2].startswith("G"):
            result.setdefault(int(parts[2][1:]), {})[parts[3]] = value
    return result


def frame(state, tour_table, daemon, elapsed):
    lines = [f"patrold demo  {elapsed:5.1f} s   (Ctrl-C ends it)", ""]
    lines.append(f"{'TOUR':<16}{'RUNNING':<9}{'CAM':<5}{'PATROLD SAYS':<20}{'PAN':>7}"
                 f"{'TILT':>6}{'ZOOM':>6}  {'HEAD':<16}PRESETS REACHED")
    for tour_id, values in sorted(tour_table.items()):
        camera_id = int(values.get("CamNbr", "0") or 0)
        head = next((c for c in state["cameras"] if c["camera"] == camera_id), None)
        if head is None:
            continue
        doing = (f"to preset {head['target_preset']}" if head["moving"]
                 else f"at preset {head['last_preset']}")
        reached = " ".join(map(str, head["history"][-12:]))
        lines.append(f"{values.get('Name', tour_id):<16.15}{values.get('Running', '?'):<9}"
                     f"{camera_id:<5}{daemon.describe(camera_id):<20.19}"
                     f"{head['pan']:>7}{head['tilt']:>6}{head['zoom']:>6}"
                     f"  {doing:<16}{reached}")
    return "\n".join(lines)


def main():
    args = parse_args()
    bus = Gio.bus_get_sync(Gio.BusType.SYSTEM, None)
    daemon = DaemonStatus(bus)
    context = GLib.MainContext.default()
    start = time.monotonic()
    state = None
    try:
        while time.monotonic() - start < args.seconds:
            while context.pending():
                context.iteration(False)
            state = sim_state(bus)
            text = args.header + "\n" + frame(state, tours(args.paramctl), daemon,
                                               time.monotonic() - start)
            sys.stdout.write(text + "\n\n" if args.no_clear else "\033[H\033[2J" + text + "\n")
            sys.stdout.flush()
            time.sleep(0.5)
    except KeyboardInterrupt:
        pass
    except GLib.Error as error:
        print(f"demo-view: {error.message}", file=sys.stderr)
        return 1
    finally:
        if args.state_file and state is not None:
            with open(args.state_file, "w") as out:
                json.dump(state, out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
