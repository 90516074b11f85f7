#pragma once
// Meters behind an Ethernet gateway: the port names that are addresses and
// the TCP connection to them. tcp://HOST:PORT carries the RTU frames
// unchanged (a transparent serial server); mbtcp://HOST:PORT speaks Modbus
// TCP (modbus/mbap.h). Anything else is a serial device.

#include <string>

#include "modbus/host_port.h"

enum class Transport { Serial, RtuOverTcp, ModbusTcp };

// Which transport a resolved port name (a device path or an address) uses.
Transport TransportOf(const std::string& device);

// Connects to the gateway an address names (tcp:// or mbtcp://), name
// resolution and connecting together within timeoutMs. Returns the socket (non-blocking, close-on-exec,
// Nagle off so that a request leaves at once), or -1 with the reason in
// *failure, naming the address: "host name not found", "connection refused",
// "timed out" and the like.
int ConnectGateway(const std::string& address, int timeoutMs, std::string* failure);

// A listening socket (close-on-exec) at hostPort, a HOST:PORT whose port 0
// takes a free one, with room for backlog connections not yet accepted:
// the simulator's gateway and the monitor's. *host and *port say where it
// listens; -1 with the reason in *error.
int ListenAt(const std::string& hostPort, int backlog, std::string* host, int* port, std::string* error);
