"""ptz-sim's control queue: what Queue answers, its expiry, the control
changes it announces (motion is seen by every end-to-end tour)."""
import time

from gi.repository import Gio

from conftest import SIM_SERVICE, wait_until


def test_queue_answers_expires_the_silent_and_announces_control(start_ptz_sim):
    # Keepalives come tens of milliseconds apart, many times within the expiry.
    sim, changes = start_ptz_sim("--expiry", "1.5"), []
    sim.bus.conn.signal_subscribe(SIM_SERVICE, None, "ControlChanged", None, None,  # its own
                                  Gio.DBusSignalFlags.NONE,
                                  lambda *signal: changes.append(signal[5].unpack()), None)

    def queue(client, action):
        return sim.call(2, "Queue", "(sii)", (client, 0, action))
    # (status, index, length): 1 at the head, 0 waiting, 2 not queued (a keepalive does not join)
    assert [queue("Silent", 3), queue("Busy", 3), queue("Other", 0)] == \
        [(1, 0, 1), (0, 1, 2), (2, -1, 2)]
    sim.control("TakeControl", "(is)", (2, "Holder"))  # a taken head never expires,
    queue("Late", 3)  # though silent for longer than Late, which does
    deadline = time.monotonic() + 20
    while sim.camera(2)["queue"] != ["Holder", "Busy"] and time.monotonic() < deadline:
        assert queue("Busy", 0)[0] in (0, 1)
    assert sim.camera(2)["queue"] == ["Holder", "Busy"]
    assert queue("Busy", 2) == (2, -1, 1)
    sim.control("ReleaseControl", "(is)", (2, "Holder"))
    assert wait_until(lambda: changes == [(2, "Silent"), (2, "Holder"), (2, "")]), changes
