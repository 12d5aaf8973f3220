"""The published bus surface of patrold, and how it answers bad calls."""
import pytest
from gi.repository import Gio, GLib

from conftest import (IFACE_CONFHUB, IFACE_CONTROLLER, IFACE_TOUR, OBJECT,
                      SERVICE, remote_error)

CSYMBOL = "org.freedesktop.DBus.GLib.CSymbol"

# interface -> (interface CSymbol or None, [(method, CSymbol, [(arg, type)])])
PUBLISHED = {
    IFACE_TOUR: ("preset_tour_handler", [
        ("PlayPresetTour", "tour_handler_play_preset_tour", [("tour_id", "i")]),
        ("StopPresetTour", "tour_handler_stop_preset_tour", [("tour_id", "i")]),
        ("PausePresetTour", "tour_handler_pause_preset_tour", [("tour_id", "i")]),
        ("ResumePresetTour", "tour_handler_resume_preset_tour", [("tour_id", "i")]),
    ]),
    IFACE_CONFHUB: (None, [
        ("SetPresetTourRunning", "tour_handler_set_preset_tour_running",
         [("running", "s"), ("confhub_id", "s")]),
    ]),
    IFACE_CONTROLLER: ("tour_handler", [
        ("BlockPlayback", "tour_handler_block_playback", [("camera_id", "i")]),
        ("UnblockPlayback", "tour_handler_unblock_playback", [("camera_id", "i")]),
    ]),
}


def csymbols(annotations):
    return [a.value for a in annotations if a.key == CSYMBOL]


def test_introspection_publishes_the_three_interfaces(patrold):
    xml = patrold.call("org.freedesktop.DBus.Introspectable", "Introspect").unpack()[0]
    node = Gio.DBusNodeInfo.new_for_xml(xml)
    ours = {i.name: i for i in node.interfaces if i.name.startswith("com.vorn.")}
    assert set(ours) == set(PUBLISHED)

    for name, (iface_symbol, methods) in PUBLISHED.items():
        iface = ours[name]
        assert csymbols(iface.annotations) == ([iface_symbol] if iface_symbol else [])
        assert [m.name for m in iface.methods] == [m[0] for m in methods]
        assert not iface.signals and not iface.properties
        for info, (_, symbol, args) in zip(iface.methods, methods):
            assert csymbols(info.annotations) == [symbol]
            assert [(a.name, a.signature) for a in info.in_args] == args
            assert not info.out_args


@pytest.mark.parametrize("method", ["BlockPlayback", "UnblockPlayback"])
@pytest.mark.parametrize("camera", [0, 9, -1, 2**31 - 1, -2**31])
def test_camera_out_of_range_is_error_50(patrold, method, camera):
    with pytest.raises(GLib.Error) as err:
        patrold.call(IFACE_CONTROLLER, method, "(i)", (camera,))
    assert remote_error(err.value) == (
        "org.gtk.GDBus.UnmappedGError.Quark._tour_5fhandler_5ferror_5fquark.Code50",
        "Image source id out of range")
    assert "Image source id out of range" in patrold.syslog.messages()


@pytest.mark.parametrize("method", ["BlockPlayback", "UnblockPlayback"])
def test_first_and_last_camera_are_accepted(patrold, method):
    for camera in (1, 8, 1):  # twice on camera 1: repeating is no error
        assert patrold.call(IFACE_CONTROLLER, method, "(i)", (camera,)).unpack() == ()


def test_every_request_is_answered_at_once_with_an_empty_reply(patrold):
    # Nothing is known about these tours: the reply must not depend on it.
    for method in ("PlayPresetTour", "StopPresetTour", "PausePresetTour",
                   "ResumePresetTour"):
        assert patrold.call(IFACE_TOUR, method, "(i)", (4242,)).unpack() == ()
    assert patrold.set_running("yes", "G4242").unpack() == ()
    assert patrold.set_running("whatever", "nonsense").unpack() == ()


UNKNOWN_CALLS = {
    "unknown-interface": ("com.vorn.Nothing", "PlayPresetTour", None, None,
                          "org.freedesktop.DBus.Error.UnknownMethod"),
    "unknown-method": (IFACE_TOUR, "FastForward", "(i)", (1,),
                       "org.freedesktop.DBus.Error.UnknownMethod"),
    "method-of-other-interface": (IFACE_CONFHUB, "BlockPlayback", "(i)", (1,),
                                  "org.freedesktop.DBus.Error.UnknownMethod"),
    "wrong-argument-type": (IFACE_TOUR, "PlayPresetTour", "(s)", ("1",),
                            "org.freedesktop.DBus.Error.InvalidArgs"),
    "missing-argument": (IFACE_CONFHUB, "SetPresetTourRunning", "(s)", ("yes",),
                         "org.freedesktop.DBus.Error.InvalidArgs"),
}


@pytest.mark.parametrize("iface,method,signature,args,error", UNKNOWN_CALLS.values(),
                         ids=UNKNOWN_CALLS.keys())
def test_calls_outside_the_document_are_refused(patrold, bus, iface, method,
                                                signature, args, error):
    with pytest.raises(GLib.Error) as err:
        bus.call(SERVICE, OBJECT, iface, method, signature, args)
    assert remote_error(err.value)[0] == error
    assert patrold.answers()
