"""patrold's bus surface as published, and the error a caller sees."""
import pytest
from gi.repository import Gio, GLib

from conftest import (IFACE_CONFHUB, IFACE_CONTROLLER, IFACE_TOUR, OBJECT, SERVICE, interfaces_of,
                      remote_error, shipped_interfaces, tour_lines, wait_until)

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
    assert interfaces_of(xml) == shipped_interfaces("com.vorn.PresetTour.xml")

    def csymbols(info):
        return [a.value for a in info.annotations if a.key == CSYMBOL]
    for name, (iface_symbol, methods) in PUBLISHED.items():
        iface = ours[name]
        assert csymbols(iface) == ([iface_symbol] if iface_symbol else [])
        assert not iface.signals and not iface.properties
        assert [(m.name, csymbols(m), [(a.name, a.signature) for a in m.in_args],
                 len(m.out_args)) for m in iface.methods] == \
            [(method, [symbol], args, 0) for method, symbol, args in methods]


@pytest.mark.parametrize("method,camera", [("BlockPlayback", 0), ("UnblockPlayback", 9)])
def test_camera_out_of_range_is_a_named_error(patrold, bus, method, camera):
    with pytest.raises(GLib.Error) as err:
        bus.call(SERVICE, OBJECT, IFACE_CONTROLLER, method, "(i)", (camera,))
    assert remote_error(err.value) == (
        "org.gtk.GDBus.UnmappedGError.Quark._tour_5fhandler_5ferror_5fquark.Code50",
        "Image source id out of range")


def test_the_liveness_probe_sees_a_held_main_loop(patrold, seed, ptz_sim):
    seed(tour_lines(1, 1))  # its Queue call, never answered, holds the main loop
    ptz_sim.control("SetDelay", "(isi)", (1, "Queue", -1))
    patrold.play(1)
    assert wait_until(lambda: ptz_sim.camera(1)["calls"]["Queue"])
    assert not patrold.answers(bound_s=2)  # GDBus's own thread still reads the bus
    ptz_sim.stop()  # the held call fails at once
    assert patrold.answers()
