#pragma once
// Turns the console's port names ("COM1:".."COM9:") into device paths:
// a --port COMn=PATH given on the command line, else $PYLAX_COMn, else the
// machine's serial devices in a stable order (/dev/ttyUSB*, /dev/ttyACM*,
// /dev/ttyS*, numerically). Any other name is taken as a device path or a
// gateway's address (tcp://HOST:PORT, mbtcp://HOST:PORT), and so is what a
// COMn maps to.

#include <string>
#include <vector>

constexpr int kComPortCount = 9;

// "COM3:" (or "COM3") -> its device path, "" when nothing is mapped to it.
// A name that is not COM1..COM9 is returned unchanged (a device path).
std::string ResolvePortName(const std::string& name);
// Returns the COM number 1..9 of "COMn:"/"COMn", or 0 for anything else.
int ComPortNumber(const std::string& name);
// Maps COMn to path for this process (overrides the environment and the scan).
void SetPortOverride(int comNumber, const std::string& path);
// Parses "COMn=PATH"; false when it is not of that form.
bool ParsePortOverride(const std::string& text);
// The serial devices found on the machine, in the stable order above.
std::vector<std::string> SerialDevices();
// What the port list shows beside COMn: the device and, where it has one, its
// /dev/serial/by-id name, or the gateway's address; "not present" when
// nothing maps to it.
std::string PortDescription(int comNumber);
