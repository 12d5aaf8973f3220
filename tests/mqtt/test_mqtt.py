"""patrold-mqtt between the real patrold (with ptz-sim, on a private bus) and
a real mosquitto started here on a loopback port, with a configuration of
its own: anonymous, or with a password and TLS under a CA made here."""
import datetime
import json
import os
import signal
import socket
import subprocess
import tempfile
import threading

import paho.mqtt.client as paho
import pytest
from gi.repository import Gio

from conftest import SERVICE, program, stop_process, tour_lines, wait_until

BASE, PREFIX = "patrold/test", "ha"
NODE = "".join(c if c.isalnum() or c in "-_" else "_" for c in socket.gethostname())
STATUS_IFACE = "com.vorn.PresetTourStatus.Camera"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Broker:
    """mosquitto on 127.0.0.1, in the foreground, without persistence: a
    restart loses every retained message."""

    def __init__(self, folder, password=None, tls=False):
        self.folder, self.port, self.tls, self.proc = folder, free_port(), tls, None
        lines = [f"listener {self.port} 127.0.0.1", "persistence false", "user root",
                 f"allow_anonymous {'false' if password else 'true'}", "log_dest none"]
        if password:
            subprocess.run(["mosquitto_passwd", "-b", "-c", folder / "passwd", "bridge", password],
                           check=True, capture_output=True)
            lines.append(f"password_file {folder / 'passwd'}")
        if tls:
            make_ca(folder)
            lines += [f"cafile {folder / 'ca.crt'}", f"certfile {folder / 'server.crt'}",
                      f"keyfile {folder / 'server.key'}"]
        (folder / "mosquitto.conf").write_text("\n".join(lines) + "\n")

    def start(self):
        self.proc = subprocess.Popen(["mosquitto", "-c", str(self.folder / "mosquitto.conf")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert wait_until(lambda: self.proc.poll() is None and self.listening()), "no mosquitto"
        return self

    def listening(self):
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", self.port)) == 0

    def kill(self):
        os.kill(self.proc.pid, signal.SIGKILL)
        self.proc.wait()


def make_ca(folder):
    def ssl(*args):
        subprocess.run(["openssl", *map(str, args)], check=True, capture_output=True, cwd=folder)
    ssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=test CA",
        "-keyout", "ca.key", "-out", "ca.crt")
    ssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost", "-keyout",
        "server.key", "-out", "server.csr")
    (folder / "san.ext").write_text("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
    ssl("x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
        "-CAcreateserial", "-days", "2", "-extfile", "san.ext", "-out", "server.crt")


class Subscriber:
    """A paho client on '#' that records (topic, payload, retained)."""

    def __init__(self, broker, password=None):
        self.messages, self.lock = [], threading.Lock()
        self.client = paho.Client()
        if password:
            self.client.username_pw_set("bridge", password)
        if broker.tls:
            self.client.tls_set(str(broker.folder / "ca.crt"))
        self.client.on_message = self.received
        self.client.on_connect = lambda c, *_: c.subscribe("#", 1)
        self.client.connect("localhost", broker.port)
        self.client.loop_start()

    def received(self, _client, _data, message):
        with self.lock:
            self.messages.append((message.topic, message.payload.decode(), message.retain))

    def on(self, topic):
        with self.lock:
            return [payload for t, payload, _ in self.messages if t == topic]

    def last(self, topic, timeout=10.0):
        return wait_until(lambda: (self.on(topic) or [None])[-1], timeout)

    def wait(self, topic, predicate, timeout=10.0):
        """The latest payload on `topic` once predicate(payload) holds, else None."""
        value = wait_until(lambda: (p := self.on(topic)) and predicate(p[-1]) and p[-1], timeout)
        return value or None

    def state(self, camera, **expected):
        payload = self.wait(f"{BASE}/camera/{camera}/state",
                            lambda p: all(json.loads(p)[k] == v for k, v in expected.items()))
        return payload and json.loads(payload)

    def publish(self, topic, payload, retain=False):
        self.client.publish(f"{BASE}/{topic}", payload, qos=1, retain=retain).wait_for_publish()

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


@pytest.fixture
def mqtt(tmp_path, build_dir, private_bus):
    """mqtt(password=None, tls=False) -> (broker, start_bridge, subscribe)."""
    started = []

    def _setup(password=None, tls=False):
        folder = tmp_path / "broker"
        folder.mkdir()
        broker = Broker(folder, password, tls).start()
        started.append(broker)
        conf = [f"[broker]\nhost=localhost\nport={broker.port}\nkeepalive=5"]
        if password:
            (folder / "bridge.pw").write_text(password + "\n")
            conf.append(f"username=bridge\npassword-file={folder / 'bridge.pw'}")
        if tls:
            conf.append(f"tls-ca-file={folder / 'ca.crt'}")
        conf.append(f"[topics]\nbase={BASE}\ndiscovery-prefix={PREFIX}\n")
        (folder / "bridge.conf").write_text("\n".join(conf))

        def start_bridge():
            err = tempfile.TemporaryFile("w+")
            proc = subprocess.Popen([program(build_dir, "patrold-mqtt"), "--config",
                                     folder / "bridge.conf"], stderr=err, text=True)
            proc.log = lambda: err.seek(0) or err.read()
            started.append(proc)
            return proc

        def subscribe():
            started.append(Subscriber(broker, password))
            return started[-1]
        return broker, start_bridge, subscribe

    yield _setup
    for thing in reversed(started):
        if isinstance(thing, Subscriber):
            thing.close()
        elif isinstance(thing, Broker):
            thing.proc.poll() is None and stop_process(thing.proc)
        else:
            stop_process(thing)


def iso(microseconds):
    return microseconds and datetime.datetime.fromtimestamp(
        microseconds // 1_000_000, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ") or None


def as_published(p):
    """A status object's properties as the state topic carries them."""
    none = lambda v: None if v < 0 else v  # noqa: E731
    return dict(state=p["State"], tour=none(p["TourId"]), tour_name=p["TourName"],
                point=none(p["PointIndex"]), preset=none(p["Preset"]), blocked=p["Blocked"],
                dwell_until=iso(p["DwellUntil"]), last_error=p["LastError"],
                last_error_time=iso(p["LastErrorTime"]))


class StatusLog:
    """Camera `camera`'s distinct states as the bus announces them."""

    def __init__(self, bus, camera):
        self.path, self.states = f"/com/vorn/PresetTourStatus/Camera{camera}", []
        bus.conn.signal_subscribe(SERVICE, "org.freedesktop.DBus.Properties",
                                  "PropertiesChanged", self.path, STATUS_IFACE,
                                  Gio.DBusSignalFlags.NONE, self.changed, None)
        self.props = bus.call(SERVICE, self.path, "org.freedesktop.DBus.Properties", "GetAll",
                              "(s)", (STATUS_IFACE,)).unpack()[0]
        self.changed()

    def changed(self, *signal):
        if signal:
            self.props.update(signal[5].unpack()[1])
        if not self.states or self.states[-1] != as_published(self.props):
            self.states.append(as_published(self.props))


def test_tours_by_mqtt(mqtt, patrold, seed, ptz_sim, bus):
    seed(tour_lines(1, camera=1, presets=(1, 2), wait=1) + tour_lines(3, camera=2)
         + tour_lines(2, camera=1) + [r"root.RezazErar.G2.Name=Gate\x1b[2J\xff"])
    broker, start_bridge, subscribe = mqtt()
    log = StatusLog(bus, 1)
    sub = subscribe()
    # A retained command would replay at every connection: it is ignored.
    sub.publish("camera/1/tour/set", "1", retain=True)
    bridge = start_bridge()
    assert sub.wait(f"{BASE}/availability", lambda p: p == "online")
    # The tours and the discovery configs, stored text escaped.
    assert json.loads(sub.last(f"{BASE}/tours")) == [
        {"tour": 1, "name": "Tour 1", "camera": 1}, {"tour": 3, "name": "Tour 3", "camera": 2},
        {"tour": 2, "name": r"Gate\x1b[2J\xff", "camera": 1}]
    select = json.loads(sub.last(f"{PREFIX}/select/patrold_{NODE}/camera1_tour/config"))
    assert select["options"] == ["Tour 1", r"Gate\x1b[2J\xff", "Stopped"]
    assert select["command_topic"] == f"{BASE}/camera/1/tour/set"
    assert select["device"]["identifiers"] == [f"patrold_{NODE}_camera1"]
    for component, obj in (("switch", "pause"), ("switch", "block"), ("sensor", "state")):
        config = json.loads(sub.last(f"{PREFIX}/{component}/patrold_{NODE}/camera1_{obj}/config"))
        assert config["availability_topic"] == f"{BASE}/availability"
        assert config["state_topic"] == f"{BASE}/camera/1/state"

    # Refused, each with its reason on the camera's error topic; nothing moves.
    bad = [("camera/1/tour/set", "99", "no tour 99"),
           ("camera/1/tour/set", "3", "tour 3 belongs to camera 2, not camera 1"),
           ("camera/1/tour/set", "Tour 3", 'camera 1 has no tour named "Tour 3"'),
           ("camera/1/tour/set", "x" * 600, "longer than 512 bytes"),
           ("camera/1/tour/set", "a\x1bb", "word or number without control"),
           ("camera/1/pause/set", "MAYBE", "ON or OFF"),
           ("camera/1/pause/set", "ON", "no tour plays on camera 1"),
           ("camera/1/dance/set", "ON", "unknown command"),
           ("camera/9/tour/set", "1", "no such camera")]
    for topic, payload, reason in bad:
        sub.publish(topic, payload)
        error_topic = f"{BASE}/{topic.rsplit('/', 2)[0]}/error"
        assert sub.wait(error_topic, lambda p: reason in p), (topic, payload, sub.on(error_topic))
    assert "retained command" in bridge.log()
    sub.publish("camera/1/tour/set", "", retain=True)  # clears it on the broker
    assert bridge.log().count("refused") == len(bad)

    # Played by name, the head tours; paused, resumed, stopped.
    sub.publish("camera/1/tour/set", "Tour 1")
    assert ptz_sim.wait_history(1, 2) is not None
    sub.publish("camera/1/pause/set", "ON")
    assert sub.state(1, state="paused", tour=1)
    sub.publish("camera/1/pause/set", "OFF")
    assert sub.state(1, state="dwelling")
    sub.publish("camera/1/tour/set", "Stopped")
    assert sub.state(1, state="idle", tour=None)
    sub.publish("camera/1/block/set", "ON")
    assert sub.state(1, blocked=True)
    sub.publish("camera/1/tour/set", "2")
    assert sub.wait(f"{BASE}/camera/1/error", lambda p: "camera 1 is blocked" in p)
    sub.publish("camera/1/block/set", "OFF")
    assert sub.state(1, blocked=False)
    # Every change the bus announced reached the state topic, each once.
    assert wait_until(lambda: [json.loads(p) for p in sub.on(f"{BASE}/camera/1/state")]
                      == log.states)

    # The coordinator drops camera 2's driver: patrold deletes its tours.
    ptz_sim.control("UninstallDriver", "(i)", (2,))
    assert sub.wait(f"{PREFIX}/select/patrold_{NODE}/camera2_tour/config",
                    lambda p: json.loads(p)["options"] == ["Stopped"])
    assert [t["tour"] for t in json.loads(sub.last(f"{BASE}/tours"))] == [1, 2]
    assert stop_process(bridge) == 0
    assert sub.wait(f"{BASE}/availability", lambda p: p == "offline")


def test_faults_end_on_the_right_retained_states(mqtt, start_patrold, seed, ptz_sim):
    seed(tour_lines(1, camera=1, presets=(1, 2), wait=1))
    broker, start_bridge, subscribe = mqtt(password="s3cret pass", tls=True)
    patrold = start_patrold()
    bridge = start_bridge()
    assert subscribe().wait(f"{BASE}/availability", lambda p: p == "online"), bridge.log()
    patrold.play(1)
    sub = subscribe()
    assert sub.state(1, tour=1, state="dwelling")

    def fresh_view(camera_expected, availability):
        """What a client that connects now is given (retained only)."""
        view = subscribe()
        return (view.wait(f"{BASE}/availability", lambda p: p == availability)
                and view.state(1, **camera_expected) and view.last(f"{BASE}/tours"))

    broker.kill()
    broker.start()  # the same port, nothing retained
    assert fresh_view(dict(tour=1), "online"), bridge.log()
    patrold.stop()
    assert fresh_view(dict(tour=1), "offline")
    patrold = start_patrold()  # resumes tour 1
    assert fresh_view(dict(tour=1, state="dwelling"), "online")
    os.kill(bridge.pid, signal.SIGKILL)
    assert fresh_view(dict(tour=1), "offline")  # the last will
    assert "s3cret" not in bridge.log()


@pytest.mark.parametrize("lines, complaint", [
    ("[broker]\nport=70000", "[broker] port: must be a whole number from 1 to 65535"),
    ("[broker]\nkeepalive=2", "[broker] keepalive: must be a whole number of seconds"),
    ("[broker]\npassword=x", "[broker] password: unknown key"),
    ("[mqtt]\nhost=x", "[mqtt]: unknown group"),
    ("[broker]\nusername=u\npassword-file=/nonexistent", "[broker] password-file: cannot read"),
    ("[broker]\npassword-file={pw}", "[broker] password-file: needs username"),
    ("[broker]\ntls-cert-file={pw}\ntls-ca-file={pw}",
     "[broker] tls-cert-file: tls-cert-file and tls-key-file go together"),
    ("[topics]\nbase=a/+/b", "[topics] base: must not hold the wildcards"),
    ("[topics]\ndiscovery=maybe", "[topics] discovery: must be true or false"),
    ("[broker\n", "Key file contains line"),
])
def test_check_config_names_file_key_and_reason(build_dir, tmp_path, lines, complaint):
    (tmp_path / "pw").write_text("pw\n")
    conf = tmp_path / "bridge.conf"
    conf.write_text(lines.format(pw=tmp_path / "pw") + "\n")
    result = subprocess.run([program(build_dir, "patrold-mqtt"), "--check-config", "--config",
                             conf], capture_output=True, text=True, timeout=30)
    assert result.returncode == 1 and f"{conf}: {complaint}" in result.stderr, result.stderr
