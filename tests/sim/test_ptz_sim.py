"""ptz-sim on its own: motion, control queues, events and the control
interface, over a private bus."""
import subprocess
import time

import pytest
from gi.repository import Gio, GLib


CLIENT = "Rezazerar"
STOP_MOVE = tuple([0, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0, 3] + [0] * 16)
MOVE_SIG = "(s" + "i" * 29 + ")"


def goto(sim, camera, preset, speed, client=CLIENT):
    return sim.call(camera, "GotoPresetNumber", "(siii)", client, 0, preset,
                    speed << 16)


def position(sim, camera):
    return sim.call(camera, "QueryPosition", "(si)", CLIENT, 0)


def queue(sim, camera, action, client=CLIENT):
    return sim.call(camera, "Queue", "(sii)", client, 0, action)


def still(sim, camera):
    return sim.wait_until(lambda: sim.state(camera)["moving"] is False)


# --- motion ---------------------------------------------------------------

def test_goto_moves_then_reports_arrival_in_order(ptz_sim):
    goto(ptz_sim, 1, 3, 20)
    assert ptz_sim.wait_event("HeadMoving", (1, 0))
    names = [(n, a) for (n, _p, a) in ptz_sim.events
             if n in ("HeadMoving", "PresetReached")]
    assert names == [("HeadMoving", (1, 1)), ("PresetReached", (1, 1)),
                     ("HeadMoving", (1, 0))]
    assert position(ptz_sim, 1)[:3] == (3000, 300, 30)
    st = ptz_sim.state(1)
    assert (st["last_preset"], st["history"], st["moving"]) == (3, [3], False)


def test_position_changes_while_moving_and_repeats_once_still(ptz_sim):
    # Speed 1 over 32000 pan units takes almost 6 s at this scale.
    goto(ptz_sim, 2, 32, 1)
    first = position(ptz_sim, 2)[:3]
    assert ptz_sim.wait_until(lambda: position(ptz_sim, 2)[:3] != first)
    assert position(ptz_sim, 2)[3] == 1  # moving flag
    ptz_sim.call(2, "Move", MOVE_SIG, CLIENT, *STOP_MOVE)
    assert ptz_sim.wait_event("HeadMoving", (2, 0))
    stopped = position(ptz_sim, 2)
    assert 0 < stopped[0] < 32000 and stopped[3] == 0
    assert all(position(ptz_sim, 2) == stopped for _ in range(5))
    assert ptz_sim.named("PresetReached") == []
    assert ptz_sim.state(2)["history"] == []


def test_goto_to_the_current_position_arrives_without_moving(ptz_sim):
    goto(ptz_sim, 1, 1, 100)
    assert ptz_sim.wait_event("HeadMoving", (1, 0))
    ptz_sim.events.clear()
    goto(ptz_sim, 1, 1, 100)
    assert ptz_sim.wait_event("PresetReached", (1, 1))
    assert ptz_sim.named("HeadMoving") == []
    st = ptz_sim.state(1)
    assert (st["history"], st["target_preset"]) == ([1, 1], -1)


def test_set_preset_overrides_the_default_position(ptz_sim):
    ptz_sim.control("SetPreset", "(iiiii)", 4, 7, -500, 40, 3)
    goto(ptz_sim, 4, 7, 100)
    assert ptz_sim.wait_event("PresetReached", (4, 1))
    assert still(ptz_sim, 4)
    assert position(ptz_sim, 4)[:3] == (-500, 40, 3)


def test_goto_to_an_unknown_preset_fails(ptz_sim):
    with pytest.raises(GLib.Error):
        goto(ptz_sim, 1, 999, 50)
    assert ptz_sim.state(1)["moving"] is False


# --- control queue --------------------------------------------------------

def test_queue_enter_keepalive_leave_and_control_changes(ptz_sim):
    steps = [  # (client, action, reply, ControlChanged names so far)
        ("A", 3, (1, 0, 1), ["A"]),
        ("B", 3, (0, 1, 2), ["A"]),
        ("B", 0, (0, 1, 2), ["A"]),
        ("C", 0, (2, -1, 2), ["A"]),  # keepalive does not join
        ("A", 2, (2, -1, 1), ["A", "B"]),
        ("B", 0, (1, 0, 1), ["A", "B"]),
        ("B", 2, (2, -1, 0), ["A", "B", ""]),
    ]
    for client, action, reply, changes in steps:
        assert queue(ptz_sim, 5, action, client) == reply, (client, action)
        assert ptz_sim.wait_until(lambda: [n for c, n in ptz_sim.named("ControlChanged")
                                   if c == 5] == changes), (client, action)
    with pytest.raises(GLib.Error):
        queue(ptz_sim, 5, 1)


def test_silent_client_expires_and_active_one_stays(start_ptz_sim):
    sim = start_ptz_sim("--expiry", "0.4")
    queue(sim, 2, 3, "Silent")
    queue(sim, 2, 3, "Busy")
    deadline = time.monotonic() + 10
    while ("Busy" != (sim.state(2)["queue"] or [None])[0]
           and time.monotonic() < deadline):
        queue(sim, 2, 0, "Busy")
        sim.wait_until(lambda: False, 0.1)
    assert sim.state(2)["queue"] == ["Busy"]
    assert [n for c, n in sim.named("ControlChanged") if c == 2] == ["Silent", "Busy"]
    assert sim.wait_event("ControlChanged", (2, ""))


def test_take_and_release_control(ptz_sim):
    assert queue(ptz_sim, 1, 3)[0] == 1
    ptz_sim.control("TakeControl", "(is)", 1, "Operator")
    assert ptz_sim.wait_event("ControlChanged", (1, "Operator"))
    assert ptz_sim.state(1)["queue"] == ["Operator", CLIENT]
    assert queue(ptz_sim, 1, 0)[0] == 0
    with pytest.raises(GLib.Error) as refused:
        goto(ptz_sim, 1, 2, 50)
    assert refused.value.matches(Gio.dbus_error_quark(),
                                 Gio.DBusError.ACCESS_DENIED)
    ptz_sim.control("ReleaseControl", "(is)", 1, "Operator")
    assert ptz_sim.wait_event("ControlChanged", (1, CLIENT))
    goto(ptz_sim, 1, 2, 50)
    with pytest.raises(GLib.Error):
        ptz_sim.control("TakeControl", "(is)", 9, "Operator")


def test_uninstall_driver_signals_on_camera_one(ptz_sim):
    ptz_sim.control("UninstallDriver", "(i)", 3)
    assert ptz_sim.wait_until(lambda: ptz_sim.named("DriverUninstalled") == [(3,)])
    assert [p for (n, p, _a) in ptz_sim.events if n == "DriverUninstalled"] == \
        ["/com/vorn/PTZ/Coordinator/1"]


# --- failures, delays, state ----------------------------------------------

@pytest.mark.parametrize("method,signature,args,code,count", [
    ("QueryPosition", "(si)", (CLIENT, 0), 125, 1),
    ("QueryPosition", "(si)", (CLIENT, 0), 124, 2),
    ("Queue", "(sii)", (CLIENT, 0, 3), 124, 1),
    ("GotoPresetNumber", "(siii)", (CLIENT, 0, 2, 50 << 16), 125, 3),
    ("Move", MOVE_SIG, (CLIENT, *STOP_MOVE), 7, 1),
])
def test_set_failure_fails_count_calls_with_the_code(ptz_sim, method,
                                                     signature, args, code,
                                                     count):
    ptz_sim.control("SetFailure", "(isii)", 6, method, code, count)
    for _ in range(count):
        with pytest.raises(GLib.Error) as failed:
            ptz_sim.call(6, method, signature, *args)
        assert failed.value.code == code
        assert failed.value.domain == "ptz_sim_error_quark"
    ptz_sim.call(6, method, signature, *args)
    ptz_sim.call(5, method, signature, *args)  # other cameras unaffected
    assert ptz_sim.state(6)["calls"][method] == count + 1


def test_failure_for_every_call_until_cleared(ptz_sim):
    ptz_sim.control("SetFailure", "(isii)", 0, "QueryPosition", 124, -1)
    for camera in (1, 8, 1):
        with pytest.raises(GLib.Error):
            position(ptz_sim, camera)
    ptz_sim.control("SetFailure", "(isii)", 0, "QueryPosition", 124, 0)
    assert position(ptz_sim, 1)[:3] == (0, 0, 0)
    with pytest.raises(GLib.Error):
        ptz_sim.control("SetFailure", "(isii)", 1, "Teleport", 124, 1)


def test_set_delay_answers_late_or_never(ptz_sim):
    ptz_sim.control("SetDelay", "(isi)", 3, "QueryPosition", 300)
    began = time.monotonic()
    assert position(ptz_sim, 3)[:3] == (0, 0, 0)
    assert time.monotonic() - began >= 0.3
    ptz_sim.control("SetDelay", "(isi)", 3, "Queue", -1)
    with pytest.raises(GLib.Error) as lost:
        ptz_sim.call(3, "Queue", "(sii)", CLIENT, 0, 3, timeout=300)
    assert lost.value.matches(Gio.io_error_quark(), Gio.IOErrorEnum.TIMED_OUT)
    assert ptz_sim.state(3)["queue"] == []
    ptz_sim.control("Reset")
    assert queue(ptz_sim, 3, 3) == (1, 0, 1)
    # The call kept unanswered must not disturb a quiet exit.
    assert ptz_sim.stop() == (0, "", "")


def test_state_records_arguments_and_reset_clears(ptz_sim):
    goto(ptz_sim, 7, 2, 50)
    assert ptz_sim.wait_event("PresetReached", (7, 1))
    queue(ptz_sim, 7, 3)
    st = ptz_sim.state(7)
    assert st["last_args"]["GotoPresetNumber"] == [CLIENT, 0, 2, 50 * 65536]
    assert st["last_args"]["Queue"] == [CLIENT, 0, 3]
    assert st["last_args"]["Move"] is None
    assert st["calls"] == {"Queue": 1, "QueryPosition": 0,
                           "GotoPresetNumber": 1, "Move": 0}
    assert st["queue"] == [CLIENT] and st["history"] == [2]
    ptz_sim.control("Reset")
    st = ptz_sim.state(7)
    assert st["calls"]["GotoPresetNumber"] == 0 and st["history"] == []
    assert st["queue"] == [CLIENT] and st["pan"] == 2000
    assert len(ptz_sim.state()) == 8


# --- process --------------------------------------------------------------

def test_help_describes_the_interfaces(ptz_sim_exe):
    out = subprocess.run([str(ptz_sim_exe), "--help"],
                         capture_output=True, text=True, timeout=10)
    assert out.returncode == 0
    for word in ("--speed-scale", "--expiry", "--cameras", "SetFailure",
                 "SetDelay", "TakeControl", "GetState", "com.vorn.PTZ.Events"):
        assert word in out.stdout


def test_sigterm_exits_quietly_and_cameras_option_limits_objects(start_ptz_sim):
    sim = start_ptz_sim("--cameras", "2")
    assert len(sim.state()) == 2
    with pytest.raises(GLib.Error):
        position(sim, 3)
    assert sim.stop() == (0, "", "")
