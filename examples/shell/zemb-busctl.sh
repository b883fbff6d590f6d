#!/bin/sh
# SPDX-License-Identifier: MIT
# The ZEMB server from the shell with busctl and gdbus: the calls that need no callback object.
#
# Each busctl or gdbus run is a bus connection of its own, and a server object belongs to the
# connection that created it (it is released when that connection ends). So the shell reaches
# what needs no object of its own: starting the server, the class factory, introspection and the
# operator interface (device tree, communication log). A client session (hook-up, connect,
# write, read) needs one connection throughout: `zemb-cli shell`, the C++ library, or
# examples/python/zemb_client.py.
#   zemb-busctl.sh
set -eu
name=org.zemb.ZEMB
factory=/org/zemb/ZEMB

echo "== is the server there? (the first call to its name starts it: D-Bus activation)"
busctl --user call "$name" "$factory" org.freedesktop.DBus.Peer Ping
busctl --user status "$name" | grep -E '^(PID|Comm|UniqueName)='

echo "== the class factory and the operator interface"
busctl --user introspect "$name" "$factory"

echo "== a ZEMBServer4 object (released again as this connection ends)"
busctl --user call "$name" "$factory" org.zemb.ZEMB.ClassFactory CreateInstance s \
    '{20549748-3037-452C-8F0E-D1196256B182}'

echo "== the device tree as the operator window shows it: (Text, ImageIndex, Depth, Expanded)"
busctl --user call "$name" "$factory" org.zemb.ZEMB.Operator GetDeviceTree

echo "== the first 20 lines of the communication log: FirstKept, Next, Lines"
busctl --user call "$name" "$factory" org.zemb.ZEMB.Operator GetCommunicationLogRange tu 0 20

echo "== the same tree through gdbus"
gdbus call --session --dest "$name" --object-path "$factory" \
    --method org.zemb.ZEMB.Operator.GetDeviceTree
