"""ptz-sim playing the coordinator for the daemon: motion and its events,
control queues, the control interface, over a private bus."""
import subprocess
import time

import pytest
from gi.repository import Gio, GLib

from conftest import wait_until

CLIENT = "Rezazerar"
STOP_MOVE = (CLIENT, 0, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0, 3) + (0,) * 16
MOVE_SIG = "(s" + "i" * 29 + ")"


def goto(sim, camera, preset, speed, client=CLIENT):
    return sim.call(camera, "GotoPresetNumber", "(siii)", (client, 0, preset, speed << 16))


def position(sim, camera):
    return sim.call(camera, "QueryPosition", "(si)", (CLIENT, 0))


def queue(sim, camera, action, client=CLIENT):
    return sim.call(camera, "Queue", "(sii)", (client, 0, action))


def test_goto_moves_then_reports_arrival_in_order(ptz_sim):
    goto(ptz_sim, 1, 3, 20)
    assert wait_until(lambda: (1, 0) in ptz_sim.named("HeadMoving"))
    assert [(n, a) for (n, _p, a) in ptz_sim.events] == [
        ("HeadMoving", (1, 1)), ("PresetReached", (1, 1)), ("HeadMoving", (1, 0))]
    assert position(ptz_sim, 1)[:3] == (3000, 300, 30)
    camera = ptz_sim.camera(1)
    assert (camera["last_preset"], camera["history"], camera["moving"]) == (3, [3], False)


def test_position_changes_while_moving_and_repeats_once_still(ptz_sim):
    goto(ptz_sim, 2, 32, 1)  # speed 1 over 32000 pan units takes seconds
    first = position(ptz_sim, 2)[:3]
    assert wait_until(lambda: position(ptz_sim, 2)[:3] != first)
    assert position(ptz_sim, 2)[3] == 1  # moving flag
    ptz_sim.call(2, "Move", MOVE_SIG, STOP_MOVE)
    assert wait_until(lambda: (2, 0) in ptz_sim.named("HeadMoving"))
    stopped = position(ptz_sim, 2)
    assert 0 < stopped[0] < 32000 and stopped[3] == 0
    assert all(position(ptz_sim, 2) == stopped for _ in range(5))
    assert (ptz_sim.named("PresetReached"), ptz_sim.history(2)) == ([], [])


def control_names(sim, camera):
    return [name for c, name in sim.named("ControlChanged") if c == camera]


def test_queue_enter_keepalive_leave_and_control_changes(ptz_sim):
    steps = [  # (client, action, reply, ControlChanged names so far)
        ("A", 3, (1, 0, 1), ["A"]),
        ("B", 3, (0, 1, 2), ["A"]),
        ("B", 0, (0, 1, 2), ["A"]),
        ("C", 0, (2, -1, 2), ["A"]),  # keepalive does not join
        ("A", 2, (2, -1, 1), ["A", "B"]),
        ("B", 2, (2, -1, 0), ["A", "B", ""]),
    ]
    for client, action, reply, changes in steps:
        assert queue(ptz_sim, 5, action, client) == reply, (client, action)
        assert wait_until(lambda: control_names(ptz_sim, 5) == changes), (client, action)
    with pytest.raises(GLib.Error):
        queue(ptz_sim, 5, 1)


def test_silent_client_expires_and_active_one_stays(start_ptz_sim):
    sim = start_ptz_sim("--expiry", "0.4")
    queue(sim, 2, 3, "Silent")
    queue(sim, 2, 3, "Busy")
    deadline = time.monotonic() + 10
    while sim.camera(2)["queue"][:1] != ["Busy"] and time.monotonic() < deadline:
        queue(sim, 2, 0, "Busy")
        wait_until(lambda: False, 0.1)
    assert sim.camera(2)["queue"] == ["Busy"]
    assert control_names(sim, 2) == ["Silent", "Busy"]
    assert wait_until(lambda: control_names(sim, 2)[-1:] == [""])


def test_take_and_release_control(ptz_sim):
    assert queue(ptz_sim, 1, 3)[0] == 1
    ptz_sim.control("TakeControl", "(is)", (1, "Operator"))
    assert wait_until(lambda: control_names(ptz_sim, 1)[-1:] == ["Operator"])
    assert ptz_sim.camera(1)["queue"] == ["Operator", CLIENT]
    with pytest.raises(GLib.Error) as refused:
        goto(ptz_sim, 1, 2, 50)
    assert refused.value.matches(Gio.dbus_error_quark(), Gio.DBusError.ACCESS_DENIED)
    ptz_sim.control("ReleaseControl", "(is)", (1, "Operator"))
    assert wait_until(lambda: control_names(ptz_sim, 1)[-1:] == [CLIENT])
    goto(ptz_sim, 1, 2, 50)


def test_uninstall_driver_signals_on_camera_one(ptz_sim):
    ptz_sim.control("UninstallDriver", "(i)", (3,))
    assert wait_until(lambda: ptz_sim.named("DriverUninstalled"))
    assert [(p, a) for (n, p, a) in ptz_sim.events if n == "DriverUninstalled"] == \
        [("/com/vorn/PTZ/Coordinator/1", (3,))]


@pytest.mark.parametrize("method,signature,args,code,count", [
    ("QueryPosition", "(si)", (CLIENT, 0), 125, 2),
    ("Queue", "(sii)", (CLIENT, 0, 3), 124, 1),
    ("GotoPresetNumber", "(siii)", (CLIENT, 0, 2, 50 << 16), 125, 1),
    ("Move", MOVE_SIG, STOP_MOVE, 7, 1),
])
def test_set_failure_fails_count_calls_with_the_code(ptz_sim, method, signature, args,
                                                     code, count):
    ptz_sim.control("SetFailure", "(isii)", (6, method, code, count))
    for _ in range(count):
        with pytest.raises(GLib.Error) as failed:
            ptz_sim.call(6, method, signature, args)
        assert (failed.value.domain, failed.value.code) == ("ptz_sim_error_quark", code)
    ptz_sim.call(6, method, signature, args)
    ptz_sim.call(5, method, signature, args)  # other cameras unaffected
    assert ptz_sim.camera(6)["calls"][method] == count + 1


def test_set_delay_answers_late_or_never(ptz_sim):
    ptz_sim.control("SetDelay", "(isi)", (3, "QueryPosition", 300))
    began = time.monotonic()
    assert position(ptz_sim, 3)[:3] == (0, 0, 0)
    assert time.monotonic() - began >= 0.3
    ptz_sim.control("SetDelay", "(isi)", (3, "Queue", -1))
    with pytest.raises(GLib.Error) as lost:
        ptz_sim.call(3, "Queue", "(sii)", (CLIENT, 0, 3), timeout_ms=300)
    assert lost.value.matches(Gio.io_error_quark(), Gio.IOErrorEnum.TIMED_OUT)
    assert ptz_sim.camera(3)["queue"] == []
    # The call kept unanswered must not disturb a quiet exit.
    assert ptz_sim.stop() == (0, "", "")


def test_state_records_arguments_and_reset_clears(ptz_sim):
    goto(ptz_sim, 7, 2, 50)
    assert wait_until(lambda: (7, 1) in ptz_sim.named("PresetReached"))
    queue(ptz_sim, 7, 3)
    camera = ptz_sim.camera(7)
    assert camera["last_args"] == {"GotoPresetNumber": [CLIENT, 0, 2, 50 << 16],
                                   "Queue": [CLIENT, 0, 3], "Move": None,
                                   "QueryPosition": None}
    assert camera["calls"] == {"Queue": 1, "QueryPosition": 0, "GotoPresetNumber": 1,
                               "Move": 0}
    assert (camera["queue"], camera["history"]) == ([CLIENT], [2])
    ptz_sim.control("Reset")
    camera = ptz_sim.camera(7)
    assert (camera["calls"]["GotoPresetNumber"], camera["history"]) == (0, [])
    assert (camera["queue"], camera["pan"]) == ([CLIENT], 2000)
    assert len(ptz_sim.state()["cameras"]) == 8


def test_help_describes_the_interfaces(build_dir):
    out = subprocess.run([str(build_dir / "ptz-sim"), "--help"],
                         capture_output=True, text=True, timeout=10)
    assert out.returncode == 0
    for word in ("--speed-scale", "--expiry", "--cameras", "SetFailure", "SetDelay",
                 "TakeControl", "GetState", "com.vorn.PTZ.Events"):
        assert word in out.stdout
