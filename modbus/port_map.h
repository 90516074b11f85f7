#pragma once
// Turns the console's port names ("COM1:".."COM9:") into device paths:
// a --port COMn=PATH given on the command line, else $PYLAX_COMn, else the
// machine's serial devices in a stable order (/dev/ttyUSB*, /dev/ttyACM*,
// /dev/ttyS*, numerically). Any other name is taken as a device path or a
// gateway's address (tcp://HOST:PORT, mbtcp://HOST:PORT), and so is what a
// COMn maps to.

#include <array>
#include <string>
#include <vector>

constexpr int kComPortCount = 9;

// The --port COMn=PATH a run was given, owned by what parses its options and
// handed to what turns names into devices.
class PortMap {
 public:
  // "COM3:" (or "COM3") -> its device path, "" when nothing is mapped to it.
  // A name that is not COM1..COM9 is returned unchanged (a device path).
  std::string Resolve(const std::string& name) const;
  // Maps COMn to path (overrides the environment and the scan); an empty
  // path takes the mapping back.
  void Set(int comNumber, const std::string& path);
  // Parses "COMn=PATH" and maps it; false when it is not of that form.
  bool Parse(const std::string& text);
  // What the port list shows beside COMn: the device and, where it has one,
  // its /dev/serial/by-id name, or the gateway's address; "not present" when
  // nothing maps to it.
  std::string Description(int comNumber) const;

 private:
  std::array<std::string, kComPortCount + 1> overrides_;  // by COM number; [0] unused
};

// Returns the COM number 1..9 of "COMn:"/"COMn", or 0 for anything else.
int ComPortNumber(const std::string& name);
// The serial devices found on the machine, in the stable order above.
std::vector<std::string> SerialDevices();
// The stable /dev/serial/by-id name of a device (its real path), "" when it
// has none.
std::string ByIdName(const std::string& device);
