"""The live status objects, seen by a client that knows only their table:
one GetManagedObjects, then PropertiesChanged alone."""
from gi.repository import Gio

from conftest import NAMES, SERVICE, interfaces_of, shipped_interfaces, tour_lines, wait_until

ROOT, IFACE = NAMES["PATROLD_STATUS_PATH"], NAMES["PATROLD_STATUS_INTERFACE"]
BOUND = 30.0  # generous: how fast is the benchmarks' business


class Watcher:
    def __init__(self, bus):
        self.signals = []
        bus.conn.signal_subscribe(SERVICE, "org.freedesktop.DBus.Properties",
                                  "PropertiesChanged", None, IFACE,
                                  Gio.DBusSignalFlags.NONE, self.changed, None)
        reply = bus.call(SERVICE, ROOT, "org.freedesktop.DBus.ObjectManager",
                         "GetManagedObjects").unpack()[0]
        self.cams = {path: interfaces[IFACE] for path, interfaces in reply.items()}

    def changed(self, _conn, _sender, path, _iface, _name, params, _data):
        self.signals.append(path)
        self.cams[path].update(params.unpack()[1])

    def cam(self, camera):
        return self.cams[f"{ROOT}/Camera{camera}"]

    def wait(self, camera, **expected):
        return wait_until(lambda: all(self.cam(camera)[k] == v for k, v in expected.items()), BOUND)


def test_a_client_follows_a_tour_from_the_table_alone(patrold, seed, ptz_sim, bus):
    seed(tour_lines(1, camera=2, presets=(4, 5), wait=3))
    w = Watcher(bus)
    assert sorted(w.cams) == [f"{ROOT}/Camera{n}" for n in range(1, 9)]
    xml = bus.call(SERVICE, f"{ROOT}/Camera2", "org.freedesktop.DBus.Introspectable", "Introspect")
    assert interfaces_of(xml.unpack()[0]) == shipped_interfaces(f"{IFACE}.xml")
    assert {k: v for k, v in w.cam(2).items() if k != "StateSince"} == dict(
        Camera=2, TourId=-1, TourName="", State="idle", Blocked=False, PointIndex=-1,
        Preset=-1, DwellUntil=0, LastError="", LastErrorTime=0, ScheduleNext=0, ScheduleNextAction="")
    patrold.play(1)
    assert w.wait(2, State="moving", TourId=1, TourName="Tour 1")
    assert w.wait(2, State="dwelling", PointIndex=0, Preset=4)
    dwell = w.cam(2)["DwellUntil"] - w.cam(2)["StateSince"]
    assert abs(dwell - 3_000_000) < 100_000, dwell
    assert w.wait(2, State="dwelling", PointIndex=1, Preset=5)
    patrold.stop_tour(1)
    assert w.wait(2, State="idle", TourId=-1)
    # Every announcement was one of camera 2's, and Get agrees with them.
    assert set(w.signals) == {f"{ROOT}/Camera2"}
    got = bus.call(SERVICE, f"{ROOT}/Camera2", "org.freedesktop.DBus.Properties",
                   "GetAll", "(s)", (IFACE,)).unpack()[0]
    assert got == w.cam(2)
