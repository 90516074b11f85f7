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
extern char g_portName[32];   // the name last opened with success ("COM1:" or a path), cut
                              // to 31 characters; the link keeps the whole name to reopen it

constexpr int kPortNameSize = 32;

// The rates the link offers, fastest first, as the console lists them; the
// program starts at the first.
constexpr int kBaudRates[] = {38400, 19200, 9600, 4800, 2400, 1200};
bool IsOfferedBaudRate(int baudRate);

// Opens name ("COM1:".."COM9:" through the port map, a device path, or a
// gateway's address: tcp://HOST:PORT, mbtcp://HOST:PORT) for exclusive use
// and configures it; a gateway is connected to. Closes any open port first, so a failed
// open leaves no port open. On failure the reason is kept for
// PortOpenFailureText.
bool OpenPort(const char* name, int baudRate);
// Closes and reopens the port last opened with success at another rate; silent, no scan. On failure
// g_portOpen stays 0.
void ReopenPort(int baudRate);
// Raw, 8 data bits, no parity, 1 stop bit, no flow control, DTR on, RS-485
// RTS toggling where the driver has it. Failures are not reported.
void ConfigurePort(int port, int baudRate);
// Discards whatever input is pending; returns within about 1 ms when nothing
// is (at once under Framing::Length), and at once on a closed port (g_port -1).
void DrainInput(int port);
// One write of the whole request, given up after 25 + 5 ms a byte (or a
// character's time a byte where that is longer); returns count.
int WritePort(int port, const uint8_t* bytes, int count);
// Reads up to m bytes of the answer to request; ends at m bytes, at 35 ms
// silence after the first byte, or ResponseTotalTimeoutMs after it began.
// Bytes already waiting beyond m are counted into received (not stored) and
// give ResultTooLarge. Nothing received: ResultTimeout, at once on a closed
// port or a device that has gone. Under Framing::Length it also ends, with
// ResultOk, as soon as the bytes form a complete answer to request with a
// right CRC (AnswerLengthSoFar), leaving what follows to the next drain.
// Over TCP it always reads so, by the MBAP length field under Modbus TCP
// (no CRC there), and the 35 ms silence ends it only where the length does
// not say that more is to come.
ModbusResult ReadResponse(int port, const uint8_t* request, uint8_t* buffer, int m, int* received);
// How a response read ends, chosen once per run. Silence: only by the 35 ms
// of quiet (or m bytes, or the total timeout), the default. Length: also as
// soon as a complete answer with a right CRC is in; anything else falls back
// to the silence. Nothing above the link knows which is in use.
enum class Framing { Silence, Length };
extern Framing g_framing;
// "silence" or "length", as the option and the trace spell it.
const char* FramingName(Framing framing);
// Sets g_framing from value (--framing), or, when value is empty, from the
// environment variable PYLAX_FRAMING, else Silence. False, with a message
// naming the bad value and its source, for anything but silence or length.
bool ChooseFraming(const std::string& value, std::string* error);

// Closes the port if it is open.
void ClosePort();

// The open port's device hung up or failed since it was opened (USB adapter
// pulled, simulator ended): every transaction fails at once with result 1
// until the port is opened again.
bool PortDeviceGone();
// "/dev/ttyUSB0 has gone away ...", naming the device, for PortDeviceGone.
std::string PortGoneText();

// The open port is a gateway's TCP connection (tcp:// or mbtcp://, see
// modbus/gateway.h): one lost is not the end of the port, as a device gone
// is, but opened again at the next transaction (RestoreLostConnection).
// PortDeviceGone says it is lost meanwhile.
bool PortReconnects();
// Called by every transaction after the drain, before the request goes out:
// a gateway's connection found lost gets one try at connecting again (within
// kGatewayConnectTimeoutMs); when that fails, the port stays gone and the
// transaction finds no answer (result 1). Nothing on a serial port.
void RestoreLostConnection();
// The request as it goes over the open port, into wire (room for length + 4
// bytes); returns its length. The RTU frame itself, but under Modbus TCP its
// MBAP frame with the next transaction id.
int WireRequest(const uint8_t* request, int length, uint8_t* wire);
// Turns the received bytes of an answer, in place, into the RTU form the
// response checks take, and returns their count: under Modbus TCP the MBAP
// frame checked against the last request's header (RtuFromMbap); otherwise
// the bytes as they are.
int ReceivedAsRtu(uint8_t* response, int received);

// The total read timeout for m bytes at a rate: 600 + m ms at 9600 baud and
// up, 600 ms plus m character times below.
int ResponseTotalTimeoutMs(int m, int baudRate);

// Why the last OpenPort failed, in words a user can act on ("does not exist",
// "is in use by another program", "permission denied ..."). Empty after a
// successful open.
std::string PortOpenFailureText();

// The timing the link keeps, in milliseconds.
constexpr int kInterByteTimeoutMs = 35;
constexpr int kResponseTotalConstantMs = 600;
constexpr int kResponseTotalPerByteMs = 1;
constexpr int kDrainTimeoutMs = 1;
constexpr int kWriteTotalConstantMs = 25;
constexpr int kWriteTotalPerByteMs = 5;
// A drain follows stale bytes for at most a read of this many bytes would
// take (the largest answer our callers ask for, 125 registers): 900 ms at
// 38400 baud, 3.3 s at 1200.
constexpr int kDrainLimitBytes = 300;
