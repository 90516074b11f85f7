#pragma once
// The port as the windows name it: the process's default link (master.h)
// under the names and calls of the original program. Every call here
// forwards to that one link; a program with more buses makes a ModbusLink
// for each (modbus/link.h).

#include <string>

#include "modbus/link.h"

// The default link's descriptor, -1 when none, as its backend has it now.
struct PortDescriptor {
  operator int() const;
};
extern const PortDescriptor g_port;
extern int& g_portOpen;                    // 1 while g_port is usable, else 0
extern char (&g_portName)[kPortNameSize];  // the name last opened with success, cut to 31 characters
// The framing the default link reads with, taken at each of its calls.
extern Framing g_framing;

// The port map the default link resolves names with: the windows' --port.
PortMap& DefaultPortMap();

// ModbusLink::Open, Reopen and Close on the default link.
bool OpenPort(const char* name, int baudRate);
void ReopenPort(int baudRate);
void ClosePort();
// Discards whatever input is pending on the default link; port is not looked at.
void DrainInput(int port);

// ModbusLink::DeviceGone, GoneText, Reconnects and OpenFailureText of the
// default link.
bool PortDeviceGone();
std::string PortGoneText();
bool PortReconnects();
std::string PortOpenFailureText();
