#pragma once
// The stable name of a bus, the same across restarts: MQTT topics, Home
// Assistant ids and metric labels are made from it and a meter's address
// (MeterId).

#include <string>

// The bus's id when --bus-id does not give one, from the port's name as
// given, never from the device it leads to (an adapter unplugged at start
// must not change it): a /dev/serial/by-id path gives its by-id name (unique
// to the adapter); a name every machine has alike (COM1..COM9, a device right
// in /dev such as ttyS0 or ttyAMA0, a gateway on the loopback) gives the
// host's short name, '_', then the name; anything else the name, without
// "/dev/" and a trailing colon. Only letters, digits, '-' and '_' are kept;
// anything else becomes '_', so the id fits an MQTT topic level and a Home
// Assistant id.
std::string BusId(const std::string& portName, const std::string& hostName);
// This machine's name, as BusId wants it.
std::string HostName();
// Empty when text may be a bus id (letters, digits, '-', '_'), else why not.
std::string BusIdProblem(const std::string& text);
