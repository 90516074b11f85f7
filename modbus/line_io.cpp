#include "modbus/line_io.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <thread>

#include "modbus/frame.h"

namespace {

// Ten bits a character at 8N1, rounded up to whole milliseconds: 9 at 1200
// baud (8.33 ms), 5 at 2400, 3 at 4800, 1 at 38400.
int CharacterMs(int baudRate) { return (10000 + baudRate - 1) / baudRate; }

enum class Wait { Readable, Quiet, Gone };

// The device has hung up or failed (USB adapter pulled, the simulator ended,
// the gateway closed the connection): every later read fails at once until
// the port is opened again.
Wait MarkGone(Channel& channel) {
  channel.gone = true;
  return Wait::Gone;
}

// Waits up to timeoutMs for input. Input still buffered when the device hung
// up is Readable, so it is read before the hang-up is seen.
Wait WaitReadable(Channel& channel, int timeoutMs) {
  if (channel.fd < 0) return MarkGone(channel);
  struct pollfd pfd {channel.fd, POLLIN, 0};
  for (;;) {
    const int n = ::poll(&pfd, 1, timeoutMs);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return MarkGone(channel);
    if (n == 0) return Wait::Quiet;
    if (pfd.revents & POLLIN) return Wait::Readable;
    return MarkGone(channel);  // POLLHUP, POLLERR or POLLNVAL
  }
}

// One read of whatever is buffered. A tty reads 0 or EIO once the device has
// hung up, a socket 0 once the peer closed; EAGAIN only means a wake-up
// without data.
ssize_t ReadSome(Channel& channel, uint8_t* buffer, size_t size) {
  const ssize_t n = ::read(channel.fd, buffer, size);
  if (n > 0) channel.lastByteAt = LinkClock::now();
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) MarkGone(channel);
  return n;
}

// Bytes already waiting beyond what the caller asked for: read and counted,
// never stored.
int CountOverflow(Channel& channel) {
  uint8_t scratch[255];
  int extra = 0;
  while (WaitReadable(channel, 0) == Wait::Readable) {
    const ssize_t n = ReadSome(channel, scratch, sizeof scratch);
    if (n <= 0) break;
    extra += static_cast<int>(n);
  }
  return extra;
}

// A stuck device (a pseudo terminal nobody reads, a hung USB adapter) may
// never take the bytes: every wait is bounded by the write's own deadline.
bool WaitWritable(int fd, LinkClock::time_point deadline) {
  struct pollfd pfd {fd, POLLOUT, 0};
  const int n = ::poll(&pfd, 1, MillisecondsLeft(deadline));
  return n > 0 && (pfd.revents & POLLOUT) && !(pfd.revents & (POLLHUP | POLLERR | POLLNVAL));
}

}  // namespace

bool IsOfferedBaudRate(int baudRate) {
  return std::find(std::begin(kBaudRates), std::end(kBaudRates), baudRate) != std::end(kBaudRates);
}

std::chrono::microseconds FrameSilence(int baudRate) {
  constexpr int kFixedAboveUs = 1750;
  constexpr long kBitsTimesUs = 35L * 11 * 1000000 / 10;  // 3.5 characters of 11 bits
  if (baudRate > 19200) return std::chrono::microseconds(kFixedAboveUs);
  return std::chrono::microseconds((kBitsTimesUs + baudRate - 1) / baudRate);
}

void WaitForFrameSilence(const Channel& channel) {
  std::this_thread::sleep_until(channel.lastByteAt + FrameSilence(channel.baud));
}

int ResponseTotalTimeoutMs(const LinkTimeouts& timeouts, int m, int baudRate) {
  // 1 ms a byte covers a character up to 9600 baud (1.04 ms there: the 600 ms
  // constant absorbs the 0.04, at most 21 ms for the largest read). Below,
  // each byte gets its whole character time: a 121-byte answer at 1200 baud
  // needs 1008 ms, which 600 + 121 would cut at 721.
  const int perByteMs = baudRate >= 9600 ? timeouts.answerPerByteMs : CharacterMs(baudRate);
  return timeouts.answerMs + perByteMs * m;
}

int WriteTimeoutMs(const LinkTimeouts& timeouts, int k, int baudRate) {
  return timeouts.writeMs + std::max(timeouts.writePerByteMs, CharacterMs(baudRate)) * k;
}

int MillisecondsLeft(LinkClock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - LinkClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

void DrainChannel(Channel& channel, const LinkTimeouts& timeouts, int firstWaitMs) {
  uint8_t scratch[255];
  // At low rates and behind USB adapters the bytes of one answer come
  // further apart than 1 ms, so once stale bytes show up the drain reads on
  // until the line has been quiet for the silence that ends a response.
  const auto limit = LinkClock::now() + std::chrono::milliseconds(
                                            ResponseTotalTimeoutMs(timeouts, timeouts.drainLimitBytes, channel.baud));
  int timeoutMs = firstWaitMs;
  while (!channel.gone && LinkClock::now() < limit &&
         WaitReadable(channel, std::min(timeoutMs, MillisecondsLeft(limit))) == Wait::Readable) {
    ReadSome(channel, scratch, sizeof scratch);
    timeoutMs = timeouts.silenceMs;
  }
}

bool WriteChannel(Channel& channel, const uint8_t* bytes, int count, LinkClock::time_point deadline, PutBytes put) {
  if (channel.fd < 0) return false;
  int written = 0;
  while (written < count) {
    const ssize_t n = put(channel.fd, bytes + written, static_cast<size_t>(count - written));
    if (n > 0) {
      written += static_cast<int>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      if (!WaitWritable(channel.fd, deadline)) break;
    } else {
      MarkGone(channel);
      break;
    }
  }
  return written == count;
}

Echo ReadEcho(Channel& channel, const LinkTimeouts& timeouts, const uint8_t* wire, int length, uint8_t* echo,
              int* got) {
  // The echo comes back as the request goes out, so by the time the write
  // has finished it is in, but for what the adapter holds back (a USB
  // adapter's latency timer, 16 ms by default) and a character or two.
  const auto deadline = LinkClock::now() + std::chrono::milliseconds(timeouts.silenceMs + length * CharacterMs(channel.baud));
  *got = 0;
  while (*got < length && !channel.gone && WaitReadable(channel, MillisecondsLeft(deadline)) == Wait::Readable) {
    const ssize_t n = ReadSome(channel, echo + *got, static_cast<size_t>(length - *got));
    if (n > 0) *got += static_cast<int>(n);
  }
  if (*got < length) return Echo::Missing;
  return std::memcmp(echo, wire, static_cast<size_t>(length)) == 0 ? Echo::Same : Echo::Differs;
}

int RtuAnswerEnd::LengthSoFar(const uint8_t* bytes, int got) { return AnswerLengthSoFar(request_, bytes, got); }

AnswerEnd::Verdict RtuAnswerEnd::Judge(const uint8_t* bytes, int length) {
  return Crc16(bytes, static_cast<size_t>(length)) == 0 ? Verdict::Take : Verdict::ReadOn;
}

ModbusResult ReadAnswer(Channel& channel, const LinkTimeouts& timeouts, const ReadRule& rule, uint8_t* buffer, int m,
                        int* received) {
  const auto total =
      LinkClock::now() + std::chrono::milliseconds(ResponseTotalTimeoutMs(timeouts, m, channel.baud) + rule.queueMs);
  // By length, each read stops at the length the answer can end at (a read
  // of 4 registers: 2 bytes, then 13), so nothing after a complete answer is
  // taken. Once a frame there is not intact, the read goes on exactly as the
  // silence framing reads.
  AnswerEnd* end = rule.end;
  int got = 0;
  for (;;) {
    int limit = m;
    bool lengthDue = false;  // the length says more bytes belong to the answer
    if (end != nullptr) {
      const int need = end->LengthSoFar(buffer, got);
      if (need > got) {
        limit = std::min(need, m);
        lengthDue = true;
      } else {
        const AnswerEnd::Verdict verdict = end->Judge(buffer, need);
        if (verdict == AnswerEnd::Verdict::Take) {
          *received = got;
          return ResultOk;
        }
        if (verdict == AnswerEnd::Verdict::ReadOn) {
          end = nullptr;
        } else {
          std::memmove(buffer, buffer + need, static_cast<size_t>(got - need));
          got -= need;
          continue;
        }
      }
    }
    if (got >= m || channel.gone) break;
    // Before the first byte only the total timeout counts; after it, the
    // silence ends the response as well, unless the rule says a pause is no
    // end while the length says more is coming.
    int wait = MillisecondsLeft(total);
    if (got > 0 && wait > timeouts.silenceMs && !(lengthDue && !rule.quietEndsUnfinished)) wait = timeouts.silenceMs;
    if (WaitReadable(channel, wait) != Wait::Readable) break;
    const ssize_t n = ReadSome(channel, buffer + got, static_cast<size_t>(limit - got));
    if (n > 0) got += static_cast<int>(n);
  }
  if (got == 0) {
    *received = 0;
    return ResultTimeout;
  }
  if (got == m) {
    const int extra = CountOverflow(channel);
    if (extra > 0) {
      *received = m + extra;
      return ResultTooLarge;
    }
  }
  *received = got;
  return ResultOk;
}
