"""patrold's bus surface as published, and bad input of every origin (bus
calls, the store, the platform's signals) never bringing it down."""
import pytest
from gi.repository import Gio, GLib

from conftest import (EVENTS_IFACE, EVENTS_OBJECT, IFACE_CONFHUB, IFACE_CONTROLLER,
                      IFACE_TOUR, OBJECT, SERVICE, remote_error, tour_lines)

CSYMBOL = "org.freedesktop.DBus.GLib.CSymbol"
# interface -> (interface CSymbol or None, [(method, CSymbol, [(arg, type)])])
PUBLISHED = {
    IFACE_TOUR: ("preset_tour_handler", [
        (f"{verb}PresetTour", f"tour_handler_{verb.lower()}_preset_tour", [("tour_id", "i")])
        for verb in ("Play", "Stop", "Pause", "Resume")]),
    IFACE_CONFHUB: (None, [("SetPresetTourRunning", "tour_handler_set_preset_tour_running",
                            [("running", "s"), ("confhub_id", "s")])]),
    IFACE_CONTROLLER: ("tour_handler", [
        (f"{verb}Playback", f"tour_handler_{verb.lower()}_playback", [("camera_id", "i")])
        for verb in ("Block", "Unblock")]),
}


def test_introspection_publishes_the_three_interfaces(patrold):
    xml = patrold.call("org.freedesktop.DBus.Introspectable", "Introspect").unpack()[0]
    ours = {i.name: i for i in Gio.DBusNodeInfo.new_for_xml(xml).interfaces
            if i.name.startswith("com.vorn.")}
    assert set(ours) == set(PUBLISHED)

    def csymbols(info):
        return [a.value for a in info.annotations if a.key == CSYMBOL]
    for name, (iface_symbol, methods) in PUBLISHED.items():
        iface = ours[name]
        assert csymbols(iface) == ([iface_symbol] if iface_symbol else [])
        assert not iface.signals and not iface.properties
        assert [(m.name, csymbols(m), [(a.name, a.signature) for a in m.in_args],
                 len(m.out_args)) for m in iface.methods] == \
            [(method, [symbol], args, 0) for method, symbol, args in methods]


RANGE_ERROR = ("org.gtk.GDBus.UnmappedGError.Quark._tour_5fhandler_5ferror_5fquark.Code50",
               "Image source id out of range")
REFUSED = "org.freedesktop.DBus.Error.UnknownMethod"
BAD_CALLS = [(IFACE_CONTROLLER, method, "(i)", (camera,), RANGE_ERROR)
             for method in ("BlockPlayback", "UnblockPlayback")
             for camera in (0, 9, -1, 2**31 - 1)] + [
    ("com.vorn.Nothing", "PlayPresetTour", None, None, (REFUSED, None)),
    (IFACE_TOUR, "FastForward", "(i)", (1,), (REFUSED, None)),
    (IFACE_CONFHUB, "BlockPlayback", "(i)", (1,), (REFUSED, None)),
]


@pytest.mark.parametrize("iface,method,signature,args,error", BAD_CALLS)
def test_refused_calls_name_their_error(patrold, bus, iface, method, signature, args,
                                        error):
    with pytest.raises(GLib.Error) as err:
        bus.call(SERVICE, OBJECT, iface, method, signature, args)
    name, message = remote_error(err.value)
    assert (name, message if error[1] else None) == error
    if error == RANGE_ERROR:
        assert message in patrold.syslog.messages()
    assert patrold.answers()


BAD_TOURS = (tour_lines(20, camera=0) + tour_lines(21, camera=9)
             + tour_lines(22, camera=-5) + tour_lines(23, camera="abc")
             + tour_lines(24, camera="") + tour_lines(25, camera=3, presets=())
             + ["root.RezazErar.RezazErar.Stray=1", "root.RezazErar.Gx.CamNbr=2"])


def tour_requests(ids):
    return [("call", IFACE_TOUR, f"{verb}PresetTour", "(i)", (i,)) for i in ids
            for verb in ("Play", "Stop", "Pause", "Resume")]


def signals(path, iface, name, signature, args_list):
    return [("signal", path, iface, name, signature, args) for args in args_list]


BATCHES = {
    "tour-ids": tour_requests((-1, -2**31, 2**31 - 1, 999)),
    "camera-numbers": tour_requests(range(20, 26)),
    "running-requests": [
        ("call", IFACE_CONFHUB, "SetPresetTourRunning", "(ss)", args)
        for args in [("yes", "G-3"), ("yes", "G2147483648"), ("yes", ""), ("no", "G"),
                     ("yes", "G20"), ("yes", "G23"), ("maybe", "G1"), ("", "")]],
    "control-events": signals(EVENTS_OBJECT, EVENTS_IFACE, "ControlChanged", "(is)",
                              [(0, "x"), (9, "Recordedtour"), (-1, "Rezazerar")])
    + [s for name in ("PresetReached", "HeadMoving")
       for s in signals(EVENTS_OBJECT, EVENTS_IFACE, name, "(ii)", [(0, 1), (9, 1), (-1, 1)])]
    + signals(EVENTS_OBJECT, EVENTS_IFACE, "ControlChanged", "(s)", [("x",)]),
    "driver-uninstalled": [
        ("signal", "/com/vorn/PTZ/Coordinator/1", "com.vorn.PTZ.Coordinator",
         "DriverUninstalled", sig, args)
        for sig, args in [("(i)", (0,)), ("(i)", (9,)), ("(i)", (-1,)), ("(s)", ("1",))]],
}


@pytest.mark.parametrize("batch", BATCHES.values(), ids=BATCHES.keys())
def test_bad_input_never_aborts(seed, paramctl, ptz_sim, start_patrold, bus, batch):
    seed(BAD_TOURS + tour_lines(1, camera=1))
    daemon = start_patrold()  # the recovery has walked the odd groups too
    for kind, *rest in batch:
        if kind == "call":
            assert daemon.call(*rest).unpack() == ()
        else:
            bus.emit(*rest)
    # A play queued behind the bad requests must still take effect.
    daemon.play(1)
    assert paramctl.wait_running(1, "yes"), daemon.syslog.messages()[-10:]
    assert daemon.answers()
    assert daemon.stop() == 0
