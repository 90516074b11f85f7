#pragma once
// A running monitor owns its serial port (opened for exclusive use) and may
// serve it to other masters through its gateway. It says so in a small file
// of its runtime directory, so that a program refused the port can tell the
// user who holds it and where to reach the bus instead.

#include <string>

// Written by the monitor once it has the port: its pid and, when it serves
// one, its gateway's HOST:PORT. False when no runtime directory takes it
// (nothing is said then, the port works as before).
bool AnnounceBusOwner(const std::string& device, const std::string& gatewayAddress);
void WithdrawBusOwner(const std::string& device);

// "pylaxctl monitor (pid 4242), which serves the bus at
// mbtcp://127.0.0.1:1502: use --port mbtcp://127.0.0.1:1502 (COMn=... for
// the windows)", or without the gateway part; empty when no running
// monitor has said it holds device.
std::string BusOwnerText(const std::string& device);
// The gateway of the running monitor that holds device, as a port name
// ("mbtcp://127.0.0.1:1502"); empty when none holds it or it serves none.
std::string BusOwnerGateway(const std::string& device);
