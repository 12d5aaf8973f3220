"""patrold's bus surface as published: the interface file it ships, whole
(data/com.vorn.PresetTour.xml); the coordinator's DriverUninstalled as it
arrives on the wire; the liveness probe."""
from conftest import (COORD_IFACE, interfaces_of, shipped_interfaces, tour_lines,
                      wait_until)


def test_introspection_publishes_the_shipped_interfaces(patrold):
    xml = patrold.call("org.freedesktop.DBus.Introspectable", "Introspect").unpack()[0]
    shipped = shipped_interfaces("com.vorn.PresetTour.xml")
    assert len(shipped) == 3 and interfaces_of(xml) == shipped


def test_driver_uninstalled_deletes_that_cameras_tours(patrold, seed, paramctl, bus):
    seed(tour_lines(1, camera=2) + tour_lines(2, camera=3) + tour_lines(3, camera=2))
    bus.emit("/com/vorn/PTZ/Coordinator/1", COORD_IFACE, "DriverUninstalled", "(i)", (2,))
    assert wait_until(lambda: paramctl.groups() == {"G2"}), paramctl.groups()


def test_the_liveness_probe_sees_a_held_main_loop(patrold, seed, ptz_sim):
    seed(tour_lines(1, 1))  # its Queue call, never answered, holds the main loop
    ptz_sim.control("SetDelay", "(isi)", (1, "Queue", -1))
    patrold.play(1)
    assert wait_until(lambda: ptz_sim.camera(1)["calls"]["Queue"])
    assert not patrold.answers(bound_s=2)  # GDBus's own thread still reads the bus
    ptz_sim.stop()  # the held call fails at once
    assert patrold.answers()
