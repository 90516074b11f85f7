#pragma once
// Descriptor I/O that the three backends share: waits bounded by deadlines,
// reads and writes that notice a device gone, the drain, and the read of one
// answer with its timeouts. POSIX poll/read/write; no Modbus rule but when an
// answer is over.

#include <sys/types.h>

#include <chrono>
#include <cstdint>

#include "modbus/link_settings.h"
#include "modbus/result.h"

using LinkClock = std::chrono::steady_clock;

// The descriptor a backend has open and what it knows of the wire.
struct Channel {
  int fd = -1;         // -1 when no port is open
  bool gone = false;   // the device hung up or failed, or the connection was lost, since it was opened
  int baud = 38400;    // the rate the timeouts are counted at
  // When the last byte of a frame was on the line, as far as this end saw:
  // a byte read (an answer, stale bytes the drain took) or our request sent.
  LinkClock::time_point lastByteAt{};
};

// The rates the link offers, fastest first, as the console lists them; the
// program starts at the first.
constexpr int kBaudRates[] = {38400, 19200, 9600, 4800, 2400, 1200};
bool IsOfferedBaudRate(int baudRate);

// The quiet a line must keep between two frames: 3.5 characters of 11
// bits (start, 8 data, parity or a second stop, stop), and above 19200
// baud a fixed 1.75 ms, as the Modbus serial line rules count it. A slave
// takes a frame that starts sooner for the tail of the one before.
std::chrono::microseconds FrameSilence(int baudRate);
// Sleeps until the line has been quiet for FrameSilence since the last byte
// it carried; returns at once when it already has.
void WaitForFrameSilence(const Channel& channel);

// The total read timeout for m bytes at a rate: 600 + m ms at 9600 baud and
// up, 600 ms plus m character times below (by default).
int ResponseTotalTimeoutMs(const LinkTimeouts& timeouts, int m, int baudRate);
// A write of k bytes gives up after this long: 25 ms plus 5 ms a byte, or a
// character's time a byte where that is longer (1200 baud), by default.
int WriteTimeoutMs(const LinkTimeouts& timeouts, int k, int baudRate);

// The whole milliseconds until deadline, 0 once it has passed: what a
// poll() waits, for the link's reads and writes and the gateway's connect.
int MillisecondsLeft(LinkClock::time_point deadline);

// Discards whatever input is pending. Waits firstWaitMs for a first byte;
// once stale bytes show up (a late answer still arriving) they are followed
// until the line has been quiet for the silence that ends an answer, and a
// line that never falls quiet is left after as long as a read of the
// timeouts' drainLimitBytes may take.
void DrainChannel(Channel& channel, const LinkTimeouts& timeouts, int firstWaitMs);

// One try at writing what the descriptor takes now (write, or send without
// SIGPIPE on a socket).
using PutBytes = ssize_t (*)(int fd, const uint8_t* bytes, size_t count);
// Writes count bytes with put, waiting for room no later than deadline; true
// when all went out. A failed descriptor marks the channel gone.
bool WriteChannel(Channel& channel, const uint8_t* bytes, int count, LinkClock::time_point deadline, PutBytes put);

// What an adapter without echo suppression handed back of a request.
enum class Echo { Same, Differs, Missing };
// Reads the length bytes of the request's echo into echo (room for length)
// within the time they take on the line and the silence a late byte may
// have; *got says how many came.
Echo ReadEcho(Channel& channel, const LinkTimeouts& timeouts, const uint8_t* wire, int length, uint8_t* echo,
              int* got);

// How a read knows an answer is over by its length (a backend's framing).
class AnswerEnd {
 public:
  // How long the answer is as far as its first got bytes tell; more than got
  // means read on to there.
  virtual int LengthSoFar(const uint8_t* bytes, int got) = 0;
  enum class Verdict {
    Take,    // the answer: the read ends here
    ReadOn,  // not intact: read on as the silence framing reads
    Drop,    // not this request's: drop those bytes and read on for its own
  };
  // The first length bytes form a whole frame by LengthSoFar.
  virtual Verdict Judge(const uint8_t* bytes, int length) = 0;

 protected:
  ~AnswerEnd() = default;
};

// The RTU framing's end: the length the request's answer has (the exception
// form's 5 bytes, a read of n registers 5 + 2n, a write 8, a report slave ID
// 5 + its byte count), taken when its CRC is right.
class RtuAnswerEnd final : public AnswerEnd {
 public:
  explicit RtuAnswerEnd(const uint8_t* request) : request_(request) {}
  int LengthSoFar(const uint8_t* bytes, int got) override;
  Verdict Judge(const uint8_t* bytes, int length) override;

 private:
  const uint8_t* request_;
};

struct ReadRule {
  // Ends the read by length as well as by silence; null: silence only.
  AnswerEnd* end = nullptr;
  // Whether the silence ends an answer whose length says more is to come.
  // On a line it does; over TCP a gateway may send an answer in pieces and
  // the network may hold one back.
  bool quietEndsUnfinished = true;
  // Added to the total timeout before the first byte: how long a Modbus TCP
  // gateway may hold a request while its own line is busy with another
  // master's transaction.
  int queueMs = 0;
};

// Reads up to m bytes of an answer: ends at m bytes, at the timeouts'
// silence after the first byte, or ResponseTotalTimeoutMs (and rule.queueMs)
// after it began, and by rule.end as soon as it takes a whole frame, leaving
// what follows to the next drain. Bytes already waiting beyond m are counted
// into received (not stored) and give ResultTooLarge. Nothing received:
// ResultTimeout, at once on a closed port or a device that has gone.
ModbusResult ReadAnswer(Channel& channel, const LinkTimeouts& timeouts, const ReadRule& rule, uint8_t* buffer, int m,
                        int* received);
