#include "modbus/serial_link.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "modbus/frame.h"
#include "modbus/gateway.h"
#include "modbus/mbap.h"
#include "modbus/port_map.h"

int g_port = -1;
Framing g_framing = Framing::Silence;
int g_portOpen = 0;
char g_portName[kPortNameSize] = "";

namespace {

using Clock = std::chrono::steady_clock;

int g_lastOpenErrno = 0;
std::string g_lastOpenDevice;
std::string g_lastGatewayFailure;  // why the last connect to a gateway failed
// The whole name of the open port, which g_portName may hold only in part: a
// /dev/serial/by-id path is often longer than 31 characters, and a reopen at
// another rate must find the same device.
std::string g_openName;
std::string g_openDevice;
int g_lineBaud = 38400;     // the rate the open port runs at
bool g_deviceGone = false;  // the open port's device hung up or failed
// What the open port is: a serial device, or a gateway's TCP connection.
Transport g_transport = Transport::Serial;
Transport g_lastOpenTransport = Transport::Serial;
// Under Modbus TCP each request carries the next transaction id; its answer
// must carry the same.
uint16_t g_transactionId = 0;

// Ten bits a character at 8N1, rounded up to whole milliseconds: 9 at 1200
// baud (8.33 ms), 5 at 2400, 3 at 4800, 1 at 38400.
int CharacterMs(int baudRate) { return (10000 + baudRate - 1) / baudRate; }

// The termios speed of each offered rate, in the order of kBaudRates.
constexpr speed_t kSpeeds[] = {B38400, B19200, B9600, B4800, B2400, B1200};
static_assert(std::size(kSpeeds) == std::size(kBaudRates));

// Callers check the rate first (IsOfferedBaudRate); anything else runs at
// 38400, the rate the program starts with.
speed_t SpeedFor(int baudRate) {
  for (size_t i = 0; i < std::size(kBaudRates); ++i)
    if (kBaudRates[i] == baudRate) return kSpeeds[i];
  return B38400;
}

// Exclusive use: TIOCEXCL keeps other openers out (except root), and the
// flock keeps out every other Pylax process, root included.
int OpenExclusive(const std::string& device) {
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  ::ioctl(fd, TIOCEXCL);
  return fd;
}

// Opens the device or connects to the gateway behind name, keeping the
// reason when it fails.
int OpenDevice(const std::string& name) {
  g_lastOpenDevice = ResolvePortName(name.c_str());
  g_lastOpenTransport = TransportOf(g_lastOpenDevice);
  if (g_lastOpenDevice.empty()) {
    g_lastOpenErrno = ENOENT;
    return -1;
  }
  if (g_lastOpenTransport != Transport::Serial) {
    // Any errno marks the failure; PortOpenFailureText gives the gateway's
    // own reason (lookup, refused, timed out).
    const int fd = ConnectGateway(g_lastOpenDevice, &g_lastGatewayFailure);
    g_lastOpenErrno = fd < 0 ? ECONNREFUSED : 0;
    return fd;
  }
  const int fd = OpenExclusive(g_lastOpenDevice);
  g_lastOpenErrno = fd < 0 ? errno : 0;
  return fd;
}

void CloseIfOpen() {
  if (g_portOpen == 1) {
    g_portOpen = 0;
    ::close(g_port);
    g_port = -1;
  }
}

// RTS high while sending, low after the last byte: the kernel's RS-485 mode
// does it where the driver offers it; a pty or a plain UART refuses, and then
// an auto-direction adapter does it in hardware.
void EnableRs485Toggle(int port) {
  struct serial_rs485 rs485 {};
  if (::ioctl(port, TIOCGRS485, &rs485) != 0) return;
  rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
  rs485.flags &= ~static_cast<unsigned>(SER_RS485_RTS_AFTER_SEND);
  ::ioctl(port, TIOCSRS485, &rs485);
}

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

enum class Wait { Readable, Quiet, Gone };

// The device has hung up or failed (USB adapter pulled, the simulator ended):
// every later read fails at once until the port is opened again.
Wait MarkGone() {
  g_deviceGone = true;
  return Wait::Gone;
}

// Waits up to timeoutMs for input. Input still buffered when the device hung
// up is Readable, so it is read before the hang-up is seen.
Wait WaitReadable(int port, int timeoutMs) {
  if (port < 0) return Wait::Gone;
  struct pollfd pfd {port, POLLIN, 0};
  for (;;) {
    const int n = ::poll(&pfd, 1, timeoutMs);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return MarkGone();
    if (n == 0) return Wait::Quiet;
    if (pfd.revents & POLLIN) return Wait::Readable;
    return MarkGone();  // POLLHUP, POLLERR or POLLNVAL
  }
}

bool OverTcp() { return g_transport != Transport::Serial; }

// Over TCP silence is no frame boundary (segments split and join anywhere),
// so the read ends by length there whatever the framing option says.
bool ReadsByLength() { return g_framing == Framing::Length || OverTcp(); }

// One read of whatever is buffered. A tty reads 0 or EIO once the device has
// hung up; EAGAIN only means a wake-up without data.
ssize_t ReadSome(int port, uint8_t* buffer, size_t size) {
  const ssize_t n = ::read(port, buffer, size);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) MarkGone();
  return n;
}

// Bytes already waiting beyond what the caller asked for: read and counted,
// never stored.
int CountOverflow(int port) {
  uint8_t scratch[255];
  int extra = 0;
  while (WaitReadable(port, 0) == Wait::Readable) {
    const ssize_t n = ReadSome(port, scratch, sizeof scratch);
    if (n <= 0) break;
    extra += static_cast<int>(n);
  }
  return extra;
}

int WriteTimeoutMs(int k, int baudRate) {
  // 5 ms a byte, or a character's time where that is longer (1200 baud).
  return kWriteTotalConstantMs + std::max(kWriteTotalPerByteMs, CharacterMs(baudRate)) * k;
}

// A stuck device (a pseudo terminal nobody reads, a hung USB adapter) may
// never take the bytes: every wait is bounded by the write's own deadline.
bool WaitWritable(int port, Clock::time_point deadline) {
  struct pollfd pfd {port, POLLOUT, 0};
  const int n = ::poll(&pfd, 1, MillisecondsLeft(deadline));
  return n > 0 && (pfd.revents & POLLOUT) && !(pfd.revents & (POLLHUP | POLLERR | POLLNVAL));
}

// Waits until the request has left the line, as the RS-485 turnaround needs,
// but no longer than the deadline. tcdrain itself cannot be bounded, so it is
// called only once the kernel's queue has emptied in time; what is left then
// is the adapter's own small FIFO.
void WaitUntilSent(int port, Clock::time_point deadline) {
  for (;;) {
    int queued = 0;
    if (::ioctl(port, TIOCOUTQ, &queued) != 0 || queued <= 0) break;
    if (Clock::now() >= deadline) return;
    ::usleep(1000);
  }
  ::tcdrain(port);
}

// One write of what the port takes now. A socket whose peer has gone must
// give EPIPE, not the SIGPIPE that would end the program.
ssize_t WriteSome(int port, const uint8_t* bytes, size_t count) {
  return OverTcp() ? ::send(port, bytes, count, MSG_NOSIGNAL) : ::write(port, bytes, count);
}

// Makes fd the open port at baudRate.
void UsePort(int fd, int baudRate) {
  g_port = fd;
  g_openDevice = g_lastOpenDevice;
  g_transport = g_lastOpenTransport;
  g_deviceGone = false;
  ConfigurePort(g_port, baudRate);
  g_portOpen = 1;
}

}  // namespace

int ResponseTotalTimeoutMs(int m, int baudRate) {
  // 1 ms a byte covers a character up to 9600 baud (1.04 ms there: the 600 ms
  // constant absorbs the 0.04, at most 21 ms for the largest read). Below,
  // each byte gets its whole character time: a 121-byte answer at 1200 baud
  // needs 1008 ms, which 600 + 121 would cut at 721.
  const int perByteMs = baudRate >= 9600 ? kResponseTotalPerByteMs : CharacterMs(baudRate);
  return kResponseTotalConstantMs + perByteMs * m;
}

bool OpenPort(const char* name, int baudRate) {
  CloseIfOpen();
  const int fd = OpenDevice(name);
  if (fd < 0) {
    g_portOpen = 0;
    return false;
  }
  UsePort(fd, baudRate);
  g_openName = name;
  std::strncpy(g_portName, name, kPortNameSize - 1);
  g_portName[kPortNameSize - 1] = '\0';
  return true;
}

void ReopenPort(int baudRate) {
  CloseIfOpen();
  if (g_openName.empty()) return;
  const int fd = OpenDevice(g_openName);
  if (fd >= 0) UsePort(fd, baudRate);
}

void ConfigurePort(int port, int baudRate) {
  struct termios tio {};
  // A gateway's socket has no line settings; its rate still sets the timeouts.
  g_lineBaud = IsOfferedBaudRate(baudRate) ? baudRate : 38400;
  if (::tcgetattr(port, &tio) != 0) return;
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | PARMRK | IGNBRK | BRKINT);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, SpeedFor(baudRate));
  ::cfsetospeed(&tio, SpeedFor(baudRate));
  ::tcsetattr(port, TCSANOW, &tio);
  int dtr = TIOCM_DTR;
  ::ioctl(port, TIOCMBIS, &dtr);
  EnableRs485Toggle(port);
}

void DrainInput(int port) {
  uint8_t scratch[255];
  // Nothing pending costs the 1 ms drain timeout. Once stale bytes show up
  // (a late answer still arriving), they are followed to their end: at low
  // rates and behind USB adapters the bytes of one answer come further apart
  // than 1 ms, so the drain reads on until the line has been quiet for the
  // 35 ms that end a response. A line that never falls quiet is left after
  // as long as a read of the largest answer may take.
  // Under the length framing only what is already in is looked for: bytes
  // after a complete answer came with it, and the 1 ms wait would be a
  // an eighth of a read of 4 registers at 38400 baud (8.4 ms of line).
  const auto limit = Clock::now() + std::chrono::milliseconds(ResponseTotalTimeoutMs(kDrainLimitBytes, g_lineBaud));
  int timeoutMs = ReadsByLength() ? 0 : kDrainTimeoutMs;
  while (!g_deviceGone && Clock::now() < limit &&
         WaitReadable(port, std::min(timeoutMs, MillisecondsLeft(limit))) == Wait::Readable) {
    ReadSome(port, scratch, sizeof scratch);
    timeoutMs = kInterByteTimeoutMs;
  }
}

int WritePort(int port, const uint8_t* bytes, int count) {
  if (port < 0) return count;
  const auto deadline = Clock::now() + std::chrono::milliseconds(WriteTimeoutMs(count, g_lineBaud));
  int written = 0;
  while (written < count) {
    const ssize_t n = WriteSome(port, bytes + written, static_cast<size_t>(count - written));
    if (n > 0) {
      written += static_cast<int>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      if (!WaitWritable(port, deadline)) break;
    } else {
      MarkGone();
      break;
    }
  }
  // A request that did not leave in time is not sent whole: the read then
  // finds no answer (result 1), as on a line where the write timed out. A
  // socket has no line to turn around.
  if (written == count && !OverTcp()) WaitUntilSent(port, deadline);
  return count;
}

ModbusResult ReadResponse(int port, const uint8_t* request, uint8_t* buffer, int m, int* received) {
  const auto start = Clock::now();
  const auto total = start + std::chrono::milliseconds(ResponseTotalTimeoutMs(m, g_lineBaud));
  // Under the length framing each read stops at the length the answer can
  // end at (a read of 4 registers: 2 bytes, then 13), so nothing after a
  // complete answer is taken. Once the bytes there fail the CRC, the read
  // goes on exactly as the silence framing reads.
  bool byLength = ReadsByLength();
  const bool mbap = g_transport == Transport::ModbusTcp;
  int got = 0;
  for (;;) {
    int limit = m;
    bool lengthDue = false;  // the length says more bytes belong to the answer
    if (byLength) {
      const int need = mbap ? MbapLengthSoFar(buffer, got) : AnswerLengthSoFar(request, buffer, got);
      if (need <= got) {
        // An MBAP frame has no CRC: its header is checked with the answer.
        if (mbap || Crc16(buffer, static_cast<size_t>(got)) == 0) {
          *received = got;
          return ResultOk;
        }
        byLength = false;
      } else {
        limit = std::min(need, m);
        lengthDue = true;
      }
    }
    if (got >= m || g_deviceGone) break;
    // Before the first byte only the total timeout counts; after it, a
    // silence of 35 ms ends the response as well. Over TCP a pause is no end
    // while the length says more is coming: a gateway may send an answer in
    // pieces, and the network may hold one back.
    int wait = MillisecondsLeft(total);
    if (got > 0 && wait > kInterByteTimeoutMs && !(lengthDue && OverTcp())) wait = kInterByteTimeoutMs;
    if (WaitReadable(port, wait) != Wait::Readable) break;
    const ssize_t n = ReadSome(port, buffer + got, static_cast<size_t>(limit - got));
    if (n > 0) got += static_cast<int>(n);
  }
  if (got == 0) {
    *received = 0;
    return ResultTimeout;
  }
  if (got == m) {
    const int extra = CountOverflow(port);
    if (extra > 0) {
      *received = m + extra;
      return ResultTooLarge;
    }
  }
  *received = got;
  return ResultOk;
}

const char* FramingName(Framing framing) { return framing == Framing::Length ? "length" : "silence"; }

bool ChooseFraming(const std::string& value, std::string* error) {
  const char* fromEnvironment = value.empty() ? std::getenv("PYLAX_FRAMING") : nullptr;
  const std::string chosen = fromEnvironment != nullptr ? fromEnvironment : value;
  for (const Framing framing : {Framing::Silence, Framing::Length}) {
    if (chosen == FramingName(framing)) {
      g_framing = framing;
      return true;
    }
  }
  if (chosen.empty()) {
    g_framing = Framing::Silence;
    return true;
  }
  *error = std::string(fromEnvironment != nullptr ? "PYLAX_FRAMING" : "--framing") +
           " wants silence or length, not \"" + chosen + "\"";
  return false;
}

bool IsOfferedBaudRate(int baudRate) {
  return std::find(std::begin(kBaudRates), std::end(kBaudRates), baudRate) != std::end(kBaudRates);
}

void ClosePort() { CloseIfOpen(); }

bool PortDeviceGone() { return g_portOpen == 1 && g_deviceGone; }

bool PortReconnects() { return g_portOpen == 1 && OverTcp(); }

std::string PortGoneText() {
  if (OverTcp()) return g_openDevice + ": the connection to the gateway was lost; it is opened again at the next transaction";
  return g_openDevice + " has gone away (unplugged, or the program behind it ended)";
}

int WireRequest(const uint8_t* request, int length, uint8_t* wire) {
  if (g_transport == Transport::ModbusTcp) return MbapFromRtu(request, length, ++g_transactionId, wire);
  std::memcpy(wire, request, static_cast<size_t>(length));
  return length;
}

int ReceivedAsRtu(uint8_t* response, int received) {
  return g_transport == Transport::ModbusTcp ? RtuFromMbap(response, received, g_transactionId) : received;
}

void RestoreLostConnection() {
  if (!PortDeviceGone() || !OverTcp()) return;
  std::string failure;
  const int fd = ConnectGateway(g_openDevice, &failure);
  if (fd < 0) return;  // still away: this transaction finds no answer (result 1)
  // The new connection takes the old one's descriptor number: the callers of
  // the transactions hold that number (g_port) for as long as the port is open.
  ::dup3(fd, g_port, O_CLOEXEC);
  ::close(fd);
  g_deviceGone = false;
}

std::string PortOpenFailureText() {
  const std::string& device = g_lastOpenDevice;
  if (g_lastOpenErrno != 0 && g_lastOpenTransport != Transport::Serial) return g_lastGatewayFailure;
  switch (g_lastOpenErrno) {
    case 0:
      return "";
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return device.empty() ? "no serial device is mapped to this port" : device + " does not exist";
    case EBUSY:
      return device + " is in use by another program";
    case EACCES:
    case EPERM:
      return device + ": permission denied (add your user to the group that owns the device, "
                      "usually dialout, then log in again)";
    default:
      return device + ": " + std::strerror(g_lastOpenErrno);
  }
}
