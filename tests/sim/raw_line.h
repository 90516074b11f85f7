#pragma once
// A bare Modbus master for the simulator's tests: opens the pseudo terminal
// raw, writes request bytes and collects the answer bytes until the line has
// been quiet for a while. No project code on the line side, so the bytes the
// simulator sends are what the tests see.

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

class RawLine {
 public:
  explicit RawLine(const std::string& path);
  ~RawLine();
  RawLine(const RawLine&) = delete;
  RawLine& operator=(const RawLine&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  void Send(const Bytes& bytes);
  // Bytes until quietMs pass without one, or totalMs since the call.
  Bytes Receive(int quietMs = 100, int totalMs = 3000);
  // Bytes until count are in, or totalMs since the call: returns the moment
  // the last one came, so the next request can go out right behind it.
  Bytes ReceiveCount(size_t count, int totalMs = 3000);
  Bytes Exchange(const Bytes& request, int quietMs = 100) {
    Send(request);
    return Receive(quietMs);
  }
  // Reads and drops whatever is waiting.
  void Drain();

 private:
  int fd_ = -1;
};

// Requests with their CRC.
Bytes WithCrc(Bytes body);
Bytes ReadRequest(int slave, int first, int count);
Bytes WriteRequest(int slave, int address, int value);
Bytes IdRequest(int slave);

// Register values of a good read answer (no checks beyond the length).
std::vector<int> Registers(const Bytes& answer);
// The float of a pair, first register high.
float PairFloat(const std::vector<int>& regs, int offset);
bool CrcHolds(const Bytes& frame);
