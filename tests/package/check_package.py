"""The Debian packages (scripts/package-test.sh builds them), installed with
apt: the installed daemon owns its name on a bus run from Debian's own system
bus configuration with the installed policy, and refuses a caller that is
neither root nor an operator; a purge leaves none of the package's files."""
import glob
import os
import subprocess

import pytest

LIBS = ["libparamstore0", "libptzcommon0", "libtourevents0"]
APT = ["apt-get", "-y", "-o", "DPkg::Lock::Timeout=300"]  # other installs may hold the lock
CALL = ["gdbus", "call", "--system", "--dest", "com.vorn.PresetTour", "--object-path",
        "/com/vorn/PresetTour", "--method", "com.vorn.PresetTourController.UnblockPlayback", "1"]


def run(*cmd, env=None):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=300, env=env)


@pytest.fixture(scope="module")
def installed():
    debs = [d for p in ["patrold"] + LIBS for d in glob.glob(f"{os.environ['PATROLD_DEB_DIR']}/{p}_*.deb")]
    assert len(debs) == 4 and run(*APT, "install", *debs).returncode == 0, debs
    return run("dpkg", "-L", "patrold").stdout.split()


@pytest.fixture
def bus(installed):
    bus = subprocess.Popen(["dbus-daemon", "--config-file=/usr/share/dbus-1/system.conf", "--nofork",
                            "--nopidfile", "--address=unix:tmpdir=/tmp", "--print-address=1"],
                           stdout=subprocess.PIPE, text=True)
    env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=bus.stdout.readline().strip())
    daemon = subprocess.Popen(["/usr/sbin/patrold", "-n"], env=env)
    yield env
    for p in (daemon, bus):
        p.terminate()
        p.wait(timeout=30)


def test_installed_daemon_answers_root_and_refuses_others(bus):
    assert run("gdbus", "wait", "--system", "--timeout", "30", "com.vorn.PresetTour", env=bus).returncode == 0
    assert run(*CALL, env=bus).returncode == 0
    denied = run("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", *CALL, env=bus)
    assert "AccessDenied" in denied.stderr, denied


def test_the_package_carries_the_interfaces_and_the_vendor_contract(installed):
    assert {"/usr/share/dbus-1/interfaces/com.vorn.PresetTour.xml", "/usr/share/doc/patrold/PLATFORM.md.gz"} <= set(installed)


def test_purge_leaves_no_file_of_the_package(installed):
    assert run(*APT, "purge", "patrold", *LIBS).returncode == 0
    files = [f for f in installed if os.path.isfile(f)] + glob.glob("/etc/systemd/system/*/patrold.service")
    assert files == [] and not os.path.exists("/var/lib/patrold")
    assert run("dpkg-query", "-W", "patrold").returncode != 0
