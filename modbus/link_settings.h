#pragma once
// Everything about a link a run may choose: how a response read ends, what
// the wire needs beyond its rate, and the timings. One value, given to the
// link, which its backend reads from; the defaults are what a QM4 bus needs,
// so a link given nothing behaves as it always has.

// How a response read ends on a serial line, chosen once per run. Silence:
// only by the 35 ms of quiet (or m bytes, or the total timeout), the default.
// Length: also as soon as a complete answer with a right CRC is in; anything
// else falls back to the silence. Nothing above the link knows which is in
// use.
enum class Framing { Silence, Length };

// What the wire between us and the meters needs beyond its rate, chosen
// once per run.
struct LineSettings {
  // The adapter hands back every byte we send (two-wire, no echo
  // suppression): each request's echo is read and checked before the answer.
  bool echo = false;
  // The kernel drives RTS while we send (a UART with an RS-485 transceiver);
  // a port whose driver cannot is refused. Delays in ms around the request.
  bool rs485 = false;
  int rs485DelayBeforeMs = 0;
  int rs485DelayAfterMs = 0;
};

// The timing the link keeps, in milliseconds.
struct LinkTimeouts {
  // After an answer's first byte, this much quiet ends it.
  int silenceMs = 35;
  // A response read of m bytes gives up answerMs + m * answerPerByteMs after
  // it began (a character's time a byte below 9600 baud).
  int answerMs = 600;
  int answerPerByteMs = 1;
  // How long a drain waits for a first stale byte, and the most it follows
  // stale bytes: as long as a read of drainLimitBytes may take (the largest
  // answer our callers ask for, 125 registers: 900 ms at 38400 baud, 3.3 s
  // at 1200).
  int drainMs = 1;
  int drainLimitBytes = 300;
  // A write of k bytes gives up after writeMs + k * writePerByteMs (a
  // character's time a byte where that is longer).
  int writeMs = 25;
  int writePerByteMs = 5;
  // A Modbus TCP gateway shared by several masters (the monitor's among
  // them) may hold a request while its line serves another; an answer is
  // awaited this much longer than on a line of our own.
  int gatewayQueueMs = 1000;
  // Name resolution and connecting to a gateway together get this long,
  // never the system's minutes: a gateway on a site's network answers a
  // connect within milliseconds, and one that does not within 3 s is taken
  // as away.
  int gatewayConnectMs = 3000;
  // A meter answered busy (exception 06: its log window held by another
  // master behind the same gateway) is asked again, with pauses growing
  // from 0.5 s to 5 s, for at most this long in all before the operation
  // gives up: a download of a full log by another client takes about a
  // minute at 9600 baud.
  int busyWaitMs = 60000;
};

struct LinkSettings {
  Framing framing = Framing::Silence;
  LineSettings line;  // takes effect at the next open, but for the echo
  LinkTimeouts timeouts;
};
