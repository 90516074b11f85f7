#pragma once
// The serial link: one port at a time, raw 8N1, with the two timeout settings
// every transaction relies on. POSIX termios/poll; this is the only file set
// that touches the device.

#include <cstddef>
#include <cstdint>
#include <string>

#include "modbus/result.h"

extern int g_port;            // file descriptor of the open port, -1 when none
extern int g_portOpen;        // 1 while g_port is usable, else 0
extern char g_portName[32];   // the name last opened with success ("COM1:" or a path)

constexpr int kPortNameSize = 32;

// Opens name ("COM1:".."COM9:" through the port map, or a device path) for
// exclusive use and configures it. Closes any open port first, so a failed
// open leaves no port open. On failure the reason is kept for
// PortOpenFailureText.
bool OpenPort(const char* name, int baudRate);
// Closes and reopens g_portName at another rate; silent, no scan. On failure
// g_portOpen stays 0.
void ReopenPort(int baudRate);
// Raw, 8 data bits, no parity, 1 stop bit, no flow control, DTR on, RS-485
// RTS toggling where the driver has it. Failures are not reported.
void ConfigurePort(int port, int baudRate);
// Discards whatever input is pending; returns within about 1 ms when nothing is.
void DrainInput(int port);
// One write of the whole request; returns count.
int WritePort(int port, const uint8_t* bytes, int count);
// Reads up to m bytes; ends at m bytes, at 35 ms silence after the first byte,
// or 600 + m ms after it began. Bytes already waiting beyond m are counted into
// received (not stored) and give ResultTooLarge. Nothing received: ResultTimeout.
ModbusResult ReadResponse(int port, uint8_t* buffer, int m, int* received);
// Closes the port if it is open.
void ClosePort();

// Why the last OpenPort failed, in words a user can act on ("does not exist",
// "is in use by another program", "permission denied ..."). Empty after a
// successful open.
std::string PortOpenFailureText();

// The timing the link keeps, in milliseconds.
constexpr int kInterByteTimeoutMs = 35;
constexpr int kResponseTotalConstantMs = 600;
constexpr int kResponseTotalPerByteMs = 1;
constexpr int kDrainTimeoutMs = 1;
