#pragma once
// qm4sim as an Ethernet gateway in front of its bus: one TCP client at a time,
// as a gateway serves, either passing the RTU bytes through unchanged (RTU
// over TCP, a transparent serial server) or speaking Modbus TCP (MBAP frames
// in, RTU frames on the bus, MBAP frames back). The bus itself, with its
// pacing and faults, stays the simulator's: the gateway runs on a thread of
// its own and gives the simulator one end of a socket pair as its line.

#include <atomic>
#include <memory>
#include <string>

#include "modbus/gateway.h"

// How long the Modbus TCP gateway waits for a meter's first byte before it
// gives the request up (a silent meter), and how long an answer that is not
// a whole frame with a right CRC may rest before it is dropped (the rest of
// it may still come). The first stays under the master's shortest total
// timeout (600 ms), so a silent meter costs the next request nothing.
constexpr int kGatewayAnswerTimeoutMs = 500;
constexpr int kGatewayGarbleQuietMs = 150;
// A pause this long inside an answer is kept in the MBAP frame sent on: its
// bytes before and after go out as two writes that far apart (the split
// answer a master must read whole).
constexpr int kGatewaySplitGapMs = 20;

class SimGateway {
 public:
  // Listens at hostPort ("HOST:PORT"; port 0 takes a free one) and starts the
  // gateway thread. Returns the descriptor the simulator reads requests from
  // and writes answers to, and the address served ("tcp://127.0.0.1:41234"),
  // or -1 with the reason in *error.
  int Start(const std::string& hostPort, Transport transport, std::string* served, std::string* error);
  // Makes the running Modbus TCP gateway hold back its next count answers,
  // each until the next request comes in, and send it then, ahead of that
  // request's own: a gateway slower than the master's timeout, whose answer
  // to request N arrives while the master waits for N + 1. False when no
  // Modbus TCP gateway runs.
  bool HoldModbusTcpAnswers(int count);

 private:
  // Answers still to hold back, set from the control channel and taken by
  // the gateway's thread, which it shares with that thread: a thread that
  // runs until the process ends.
  std::shared_ptr<std::atomic<int>> answersToHold_ = std::make_shared<std::atomic<int>>(0);
  bool modbusTcpRuns_ = false;
};
