#!/usr/bin/python3
"""Floods a bus service with calls from connections that never read a reply.

A Gio connection reads every reply on its worker thread, so the flood uses
plain sockets: EXTERNAL authentication, Hello, then method calls as fast as
the bus takes them. Each connection runs in a thread of its own; `account`
makes the connections under that uid (the bus reads it from the kernel when
connecting), which needs root.

    with Flood(address, calls, connections=16, account=None): ...

As a program it floods patrold with its reads (status GetAll,
GetManagedObjects, Introspect, Peer.Ping) for a while, then prints how
many calls it sent; a process of its own, so the caller's timing is not
disturbed by the flood's threads:

    bench/flood.py ADDRESS SECONDS [--account NAME] [--connections N]
"""
import argparse
import json
import os
import pwd
import socket
import struct
import threading

from gi.repository import Gio, GLib


def message(dest, path, iface, method, signature=None, args=None):
    """The wire bytes of one call; the serial (bytes 8..11) is patched per send."""
    msg = Gio.DBusMessage.new_method_call(dest, path, iface, method)
    if signature:
        msg.set_body(GLib.Variant(signature, args))
    msg.set_serial(1)
    return bytearray(msg.to_blob(Gio.DBusCapabilityFlags.NONE))


def _connect(address, uid):
    path = dict(kv.split("=", 1) for kv in address.split(":", 1)[1].split(","))
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect(("\0" + path["abstract"]) if "abstract" in path else path["path"])
    sock.sendall(b"\0AUTH EXTERNAL " + str(uid).encode().hex().encode() + b"\r\n")
    if not sock.recv(4096).startswith(b"OK"):
        raise RuntimeError("the bus refused the flood's connection")
    sock.sendall(b"BEGIN\r\n" + bytes(message("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                               "org.freedesktop.DBus", "Hello")))
    return sock


def connect_as(address, account):
    """A raw connection made with that account's uid and gids, or as the caller."""
    if account is None:
        return _connect(address, os.getuid())
    user = pwd.getpwnam(account)
    groups = os.getgroups()
    os.setgroups(os.getgrouplist(account, user.pw_gid))
    os.setresgid(user.pw_gid, user.pw_gid, 0)
    os.setresuid(user.pw_uid, user.pw_uid, 0)
    try:
        return _connect(address, user.pw_uid)
    finally:
        os.setresuid(0, 0, 0)
        os.setresgid(0, 0, 0)
        os.setgroups(groups)


class Flood:
    """`calls` (wire messages from message()) sent in turn by every connection
    until the block ends; the connections close then. `sent` counts calls."""

    def __init__(self, address, calls, connections=16, account=None):
        self.socks = [connect_as(address, account) for _ in range(connections)]
        self.calls, self.sent, self.stop = calls, 0, threading.Event()
        self.threads = [threading.Thread(target=self._run, args=(s,), daemon=True)
                        for s in self.socks]

    def _run(self, sock):
        calls, serial = [bytearray(blob) for blob in self.calls], 2
        try:
            while not self.stop.is_set():
                for blob in calls:
                    struct.pack_into("<I" if blob[0] == ord("l") else ">I", blob, 8, serial)
                    sock.sendall(blob)
                    serial += 1
                    self.sent += 1
        except OSError:
            pass  # the bus closed the connection: the flood of this one ends

    def __enter__(self):
        for thread in self.threads:
            thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        for sock in self.socks:
            sock.shutdown(socket.SHUT_RDWR)
        for thread in self.threads:
            thread.join()
        for sock in self.socks:
            sock.close()


STATUS = "/com/vorn/PresetTourStatus"
PATROLD_READS = [
    ("com.vorn.PresetTour", f"{STATUS}/Camera1", "org.freedesktop.DBus.Properties", "GetAll",
     "(s)", ("com.vorn.PresetTourStatus.Camera",)),
    ("com.vorn.PresetTour", STATUS, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects"),
    ("com.vorn.PresetTour", STATUS, "org.freedesktop.DBus.Introspectable", "Introspect"),
    ("com.vorn.PresetTour", "/com/vorn/PresetTour", "org.freedesktop.DBus.Peer", "Ping"),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("address")
    parser.add_argument("seconds", type=float)
    parser.add_argument("--account")
    parser.add_argument("--connections", type=int, default=16)
    args = parser.parse_args()
    calls = [message(*call) for call in PATROLD_READS]
    with Flood(args.address, calls, args.connections, args.account) as flood:
        flood.stop.wait(args.seconds)
    print(json.dumps({"sent": flood.sent, "connections": args.connections}))


if __name__ == "__main__":
    main()
