#include "modbus/serial_link.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "modbus/port_map.h"

int g_port = -1;
int g_portOpen = 0;
char g_portName[kPortNameSize] = "";

namespace {

using Clock = std::chrono::steady_clock;

int g_lastOpenErrno = 0;
std::string g_lastOpenDevice;

speed_t SpeedFor(int baudRate) {
  switch (baudRate) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B38400;
  }
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

// Opens the device behind name, keeping the reason when it fails.
int OpenDevice(const char* name) {
  g_lastOpenDevice = ResolvePortName(name);
  if (g_lastOpenDevice.empty()) {
    g_lastOpenErrno = ENOENT;
    return -1;
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

// Waits up to timeoutMs for input; true when some is there.
bool WaitReadable(int port, int timeoutMs) {
  struct pollfd pfd {port, POLLIN, 0};
  for (;;) {
    const int n = ::poll(&pfd, 1, timeoutMs);
    if (n < 0 && errno == EINTR) continue;
    return n > 0 && (pfd.revents & POLLIN);
  }
}

// Bytes already waiting beyond what the caller asked for: read and counted,
// never stored.
int CountOverflow(int port) {
  uint8_t scratch[255];
  int extra = 0;
  while (WaitReadable(port, 0)) {
    const ssize_t n = ::read(port, scratch, sizeof scratch);
    if (n <= 0) break;
    extra += static_cast<int>(n);
  }
  return extra;
}

}  // namespace

bool OpenPort(const char* name, int baudRate) {
  CloseIfOpen();
  const int fd = OpenDevice(name);
  if (fd < 0) {
    g_portOpen = 0;
    return false;
  }
  g_port = fd;
  ConfigurePort(g_port, baudRate);
  g_portOpen = 1;
  std::strncpy(g_portName, name, kPortNameSize - 1);
  g_portName[kPortNameSize - 1] = '\0';
  return true;
}

void ReopenPort(int baudRate) {
  CloseIfOpen();
  const int fd = OpenDevice(g_portName);
  if (fd < 0) return;
  g_port = fd;
  ConfigurePort(g_port, baudRate);
  g_portOpen = 1;
}

void ConfigurePort(int port, int baudRate) {
  struct termios tio {};
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
  // The first wait is the 1 ms drain timeout; after that only what is
  // already buffered is taken.
  int timeoutMs = kDrainTimeoutMs;
  while (WaitReadable(port, timeoutMs)) {
    const ssize_t n = ::read(port, scratch, sizeof scratch);
    if (n <= 0) break;
    timeoutMs = 0;
  }
}

int WritePort(int port, const uint8_t* bytes, int count) {
  int written = 0;
  while (written < count) {
    const ssize_t n = ::write(port, bytes + written, static_cast<size_t>(count - written));
    if (n > 0) {
      written += static_cast<int>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      struct pollfd pfd {port, POLLOUT, 0};
      ::poll(&pfd, 1, 25 + 5 * count);
    } else {
      break;
    }
  }
  // The line waits until the last byte has left, as the RS-485 turnaround needs.
  ::tcdrain(port);
  return count;
}

ModbusResult ReadResponse(int port, uint8_t* buffer, int m, int* received) {
  const auto start = Clock::now();
  const auto total = start + std::chrono::milliseconds(kResponseTotalConstantMs + kResponseTotalPerByteMs * m);
  int got = 0;
  while (got < m) {
    // Before the first byte only the total timeout counts; after it, a
    // silence of 35 ms ends the response as well.
    int wait = MillisecondsLeft(total);
    if (got > 0 && wait > kInterByteTimeoutMs) wait = kInterByteTimeoutMs;
    if (!WaitReadable(port, wait)) break;
    const ssize_t n = ::read(port, buffer + got, static_cast<size_t>(m - got));
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      *received = 0;
      return ResultTimeout;
    }
    got += static_cast<int>(n);
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

void ClosePort() { CloseIfOpen(); }

std::string PortOpenFailureText() {
  const std::string& device = g_lastOpenDevice;
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
