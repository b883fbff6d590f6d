#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A ZEMB client in Python over plain D-Bus (python3-dbus with the GLib main loop).

Hooks up, enumerates the devices of a type through a sink object it exports, connects to the
first one with a callback object of its own, opens it, writes bytes and reads their echo, then
waits until the device is pulled out and the server calls Disconnected.

    python3 zemb_client.py [--type 3] [--bytes "10 20 30"] [--wait 60]

The server calls the client's objects back while a call of the client is still waiting for its
reply (EnumDevices2 calls EnumDevice once per device before it answers), so every call here is
made asynchronously and waits in a GLib main loop that goes on serving the client's objects.
"""

import argparse
import os
import socket
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

BUS_NAME = "org.zemb.ZEMB"
FACTORY_PATH = "/org/zemb/ZEMB"
FACTORY = "org.zemb.ZEMB.ClassFactory"
SERVER = "org.zemb.ZEMB.IZEMBServer"
SERVER3 = "org.zemb.ZEMB.IZEMBServer3"
SERVER4 = "org.zemb.ZEMB.IZEMBServer4"
OBJECT = "org.zemb.ZEMB.Object"
HOST = "org.zemb.ZEMB.IZEMBHost"
EVENT = "org.zemb.ZEMB.IZEMBEvent"
CLASS_ZEMB_SERVER4 = "{20549748-3037-452C-8F0E-D1196256B182}"
ACI_BASE = 1  # TUSBClientAppType aciBase
CM_EXCLUSIVE = 0  # TUSBDevMode cmExclusive
DEV_TYPES = ["dtNotRecognized", "dtBrisk", "dtMirel", "dtFenwy", "dtCorra"]


def call(proxy, interface, method, *args, timeout=60):
    """Calls method and serves callbacks until its reply arrives; the reply values as a tuple."""
    loop = GLib.MainLoop()
    outcome = {}

    def reply(*values):
        outcome["values"] = values
        loop.quit()

    def error(exception):
        outcome["error"] = exception
        loop.quit()

    getattr(proxy, method)(*args, dbus_interface=interface, reply_handler=reply,
                           error_handler=error, timeout=timeout, byte_arrays=True)
    loop.run()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["values"]


def checked(name, values):
    """The reply values without Result; ends the program when Result is False."""
    *values, result = values
    if not result:
        sys.exit(f"{name}: Result False (the server's log says why)")
    return values


class Host(dbus.service.Object):
    """The client's sink (IZEMBHost): the server lists devices and tells of changes to it."""

    def __init__(self, bus, path):
        super().__init__(bus, path)
        self.devices = []

    @dbus.service.method(HOST, in_signature="i", out_signature="b")
    def EnumDevice(self, DevID):
        self.devices.append(int(DevID))
        return True

    @dbus.service.method(HOST, in_signature="i", out_signature="b")
    def EnumConnection(self, ConnectID):
        return True

    @dbus.service.method(HOST, in_signature="i", out_signature="b")
    def EnumApplication(self, ClientAppID):
        return True

    @dbus.service.method(HOST, in_signature="i", out_signature="b")
    def DeviceAdded(self, DevID):
        print(f"DeviceAdded DevID {DevID}", flush=True)
        return True

    @dbus.service.method(HOST, in_signature="i", out_signature="b")
    def DeviceRemoved(self, DevID):
        print(f"DeviceRemoved DevID {DevID}", flush=True)
        return True


class Event(dbus.service.Object):
    """The connection's callback (IZEMBEvent): the device went away or came back."""

    def __init__(self, bus, path, on_disconnected):
        super().__init__(bus, path)
        self.on_disconnected = on_disconnected

    @dbus.service.method(EVENT, in_signature="i", out_signature="")
    def Disconnected(self, ConnectID):
        print(f"Disconnected ConnectID {ConnectID}", flush=True)
        self.on_disconnected()

    @dbus.service.method(EVENT, in_signature="i", out_signature="")
    def Reconnected(self, ConnectID):
        print(f"Reconnected ConnectID {ConnectID}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--type", type=int, default=3, help="TUSBDevType ordinal (3: dtFenwy)")
    parser.add_argument("--bytes", default="10 20 30 40", help="bytes to write, in hex")
    parser.add_argument("--wait", type=float, default=60,
                        help="seconds to wait for Disconnected (0: do not wait)")
    options = parser.parse_args()
    data = bytes.fromhex(options.bytes)

    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    # The bus starts the server (D-Bus activation) when it is not running.
    factory = bus.get_object(BUS_NAME, FACTORY_PATH)
    (path,) = call(factory, FACTORY, "CreateInstance", CLASS_ZEMB_SERVER4)
    server = bus.get_object(BUS_NAME, path)
    print(f"server object {path}", flush=True)

    (client,) = checked("HookupClientApp2", call(
        server, SERVER3, "HookupClientApp2", dbus.Byte(ACI_BASE), dbus.Int32(os.getpid()),
        socket.gethostname(), "zemb_client.py"))
    print(f"ClientAppID: {client}", flush=True)

    prefix = f"/org/zemb/examples/python/{os.getpid()}"
    host = Host(bus, prefix + "/host")
    checked("SetZEMBHost2", call(server, SERVER4, "SetZEMBHost2", dbus.Int32(client),
                                 dbus.ObjectPath(prefix + "/host")))
    checked("EnumDevices2", call(server, SERVER4, "EnumDevices2", dbus.Int32(client),
                                 dbus.Byte(options.type)))
    if not host.devices:
        sys.exit(f"no device of type {DEV_TYPES[options.type]}")
    for dev_id in host.devices:
        info = checked("DevInfo", call(server, SERVER, "DevInfo", dbus.Int32(dev_id),
                                       dbus.Byte(CM_EXCLUSIVE)))
        print(f"DevID: {dev_id}  FriendlyName: {info[2]}  SerialNumber: {info[3]}", flush=True)

    loop = GLib.MainLoop()
    disconnected = []

    def on_disconnected():
        disconnected.append(True)
        loop.quit()

    Event(bus, prefix + "/event", on_disconnected)
    (connect_id,) = checked("ConnectDevice", call(
        server, SERVER, "ConnectDevice", dbus.Int32(client), dbus.Int32(host.devices[0]),
        dbus.Byte(CM_EXCLUSIVE), dbus.ObjectPath(prefix + "/event")))
    print(f"ConnectID: {connect_id}", flush=True)
    checked("OpenDevice", call(server, SERVER, "OpenDevice", dbus.Int32(connect_id)))
    (written,) = checked("WriteBuffer", call(server, SERVER, "WriteBuffer", dbus.Int32(connect_id),
                                             dbus.ByteArray(data)))
    read_data, read_count = checked("ReadBuffer", call(
        server, SERVER, "ReadBuffer", dbus.Int32(connect_id), dbus.ByteArray(bytes(len(data)))))
    echo = bytes(read_data)[:read_count]
    print(f"WriteCount: {written}  ReadData: {echo.hex(' ')}", flush=True)
    if echo != data:
        sys.exit("the echo differs from what was written")

    if options.wait > 0:
        print("Waiting for Disconnected: pull the device out", flush=True)
        GLib.timeout_add(int(options.wait * 1000), loop.quit)
        loop.run()
        if not disconnected:
            sys.exit("no Disconnected came")

    # DisconnectDevice also closes; UnhookClientApp ends what is left of the client.
    call(server, SERVER, "DisconnectDevice", dbus.Int32(connect_id))
    checked("UnhookClientApp", call(server, SERVER, "UnhookClientApp", dbus.Int32(client)))
    call(server, OBJECT, "Release")
    print("done", flush=True)


if __name__ == "__main__":
    main()
