#include "modbus/serial_backend.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "modbus/bus_owner.h"

namespace {

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

std::string OpenFailureText(const std::string& device, int error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return device + " does not exist";
    case EBUSY: {
      const std::string owner = BusOwnerText(device);
      return device + " is in use by " + (owner.empty() ? "another program" : owner);
    }
    case EACCES:
    case EPERM:
      return device + ": permission denied (add your user to the group that owns the device, "
                      "usually dialout, then log in again)";
    default:
      return device + ": " + std::strerror(error);
  }
}

// RTS high while sending, low after the last byte, with the delays around
// the request that some transceivers need. Without --rs485 it is asked for
// where the driver offers it and left alone where not (an auto-direction
// adapter switches in hardware); with it, a driver that cannot is an error.
bool SetRs485(int fd, const LineSettings& line) {
  struct serial_rs485 rs485 {};
  if (::ioctl(fd, TIOCGRS485, &rs485) != 0) return false;
  rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
  rs485.flags &= ~static_cast<unsigned>(SER_RS485_RTS_AFTER_SEND);
  if (line.rs485) {
    rs485.delay_rts_before_send = static_cast<unsigned>(line.rs485DelayBeforeMs);
    rs485.delay_rts_after_send = static_cast<unsigned>(line.rs485DelayAfterMs);
  }
  return ::ioctl(fd, TIOCSRS485, &rs485) == 0;
}

// The tty's name below /dev, for its entry in sysfs; empty when unknown.
std::string TtyName(int fd) {
  char path[256];
  const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
  if (n <= 0) return "";
  path[n] = '\0';
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// A USB adapter holds received bytes up to its latency timer (16 ms by
// default on FTDI chips) before passing them on, which doubles a short
// read. Low latency asks the driver for the shortest (1 ms there); drivers
// without it (a pty, most others) refuse and nothing changes. Says what
// the port runs at where that can be read.
std::string AskLowLatency(int fd) {
  struct serial_struct serial {};
  if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) return "";
  if ((serial.flags & ASYNC_LOW_LATENCY) == 0) {
    serial.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &serial) != 0) return "low latency not offered by the driver";
  }
  std::ifstream timer("/sys/class/tty/" + TtyName(fd) + "/device/latency_timer");
  int ms = -1;
  if (timer >> ms) return "low latency; USB latency timer " + std::to_string(ms) + " ms";
  return "low latency";
}

ssize_t PutToDevice(int fd, const uint8_t* bytes, size_t count) { return ::write(fd, bytes, count); }

// Waits until the request has left the line, as the RS-485 turnaround needs,
// but no longer than the deadline. tcdrain itself cannot be bounded, so it is
// called only once the kernel's queue has emptied in time; what is left then
// is the adapter's own small FIFO.
void WaitUntilSent(int fd, LinkClock::time_point deadline) {
  for (;;) {
    int queued = 0;
    if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) break;
    if (LinkClock::now() >= deadline) return;
    ::usleep(1000);
  }
  ::tcdrain(fd);
}

}  // namespace

// Anything but a terminal (a regular file, /dev/zero) would take the
// requests and hand back no answer, or an endless one.
int SerialBackend::OpenDescriptor(const std::string& device, std::string* failure) {
  const int fd = OpenExclusive(device);
  if (fd < 0) {
    *failure = OpenFailureText(device, errno);
  } else if (!::isatty(fd)) {
    *failure = device + " is not a serial port (not a terminal device)";
    ::close(fd);
    return -1;
  }
  return fd;
}

LineSetup SerialBackend::Configure(int baudRate) {
  const int fd = Descriptor();
  const LineSettings& line = Settings().line;
  struct termios tio {};
  if (::tcgetattr(fd, &tio) != 0) return {};
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | PARMRK | IGNBRK | BRKINT);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, SpeedFor(baudRate));
  ::cfsetospeed(&tio, SpeedFor(baudRate));
  ::tcsetattr(fd, TCSANOW, &tio);
  int dtr = TIOCM_DTR;
  ::ioctl(fd, TIOCMBIS, &dtr);
  if (!SetRs485(fd, line) && line.rs485)
    return {"cannot be switched to RS-485 mode (its driver has none: a pseudo terminal or an adapter that "
            "switches direction itself); leave --rs485 off for it",
            ""};
  return {"", AskLowLatency(fd)};
}

void SerialBackend::Drain() {
  // Nothing pending costs the drain's first wait (1 ms). Under the length framing
  // only what is already in is looked for: bytes after a complete answer
  // came with it, and the 1 ms wait would be an eighth of a read of 4
  // registers at 38400 baud (8.4 ms of line).
  const LinkSettings& settings = Settings();
  DrainChannel(Wire(), settings.timeouts, settings.framing == Framing::Length ? 0 : settings.timeouts.drainMs);
}

void SerialBackend::Write(const uint8_t* wire, int length) {
  Channel& channel = Wire();
  const auto deadline =
      LinkClock::now() + std::chrono::milliseconds(WriteTimeoutMs(Settings().timeouts, length, channel.baud));
  // A request that did not leave in time is not sent whole: the read then
  // finds no answer (result 1), as on a line where the write timed out.
  if (WriteChannel(channel, wire, length, deadline, PutToDevice)) WaitUntilSent(channel.fd, deadline);
}

ModbusResult SerialBackend::Read(const uint8_t* request, uint8_t* buffer, int m, int* received) {
  RtuAnswerEnd end(request);
  const ReadRule rule{Settings().framing == Framing::Length ? &end : nullptr, true};
  return ReadAnswer(Wire(), Settings().timeouts, rule, buffer, m, received);
}

std::string SerialBackend::GoneText(const std::string& device) const {
  return device + " has gone away (unplugged, or the program behind it ended)";
}
