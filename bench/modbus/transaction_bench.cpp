// How long a transaction takes against qm4sim pacing its bytes like a real
// line, next to the time the line itself needs for the same exchange.
//
// The line's share of one exchange: the request and the response at 10 bits
// a character (8N1), the simulator's turnaround before it answers, and the
// 35 ms of silence after the last byte that ends every response (the master
// asks for more bytes than a normal answer holds, so silence ends the read).
// At 38400 baud a read of 48 registers is 8 + 101 bytes: 28.4 ms on the wire,
// 5 ms turnaround and 35 ms silence, 68.4 ms in all.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/sim_launcher.h"
#include "modbus/master.h"
#include "modbus/serial_link.h"

namespace {

constexpr int kSlave = 1;
constexpr int kRepetitions = 25;
constexpr double kTurnaroundMs = 5.0;  // qm4sim's default when it paces bytes
constexpr int kRequestBytes = 8;

struct Case {
  const char* name;
  int registers;  // 0 for the write
};

double ByteMilliseconds(int baud, int bytes) { return bytes * 10.0 * 1000.0 / baud; }

// The part of an exchange the simulator enforces: a pseudo terminal passes the
// request at once, so only the answer, the turnaround and the closing silence
// take line time there.
double PacedMilliseconds(int baud, int responseBytes) {
  return ByteMilliseconds(baud, responseBytes) + kTurnaroundMs + kInterByteTimeoutMs;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The reading block holds 48 registers; a read of 125 goes to the log window.
int FirstAddress(const Case& c) { return c.registers > 48 ? 7999 : 258; }

bool RunOnce(const Case& c) {
  static int values[kMaxReadCount];
  const ModbusResult result = c.registers > 0 ? ReadHoldingRegisters(g_port, kSlave, FirstAddress(c), c.registers, values)
                                              : WriteSingleRegister(g_port, kSlave, 149, 900);
  return result == ResultOk;
}

void Measure(int baud, const Case& c) {
  std::vector<double> ms;
  const double cpuBefore = CpuSeconds();
  for (int i = 0; i < kRepetitions; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!RunOnce(c)) {
      std::printf("%-10s %6d  failed: %s\n", c.name, baud, g_resultText[ResultTimeout]);
      return;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  const double cpuMs = (CpuSeconds() - cpuBefore) * 1000.0 / kRepetitions;
  std::sort(ms.begin(), ms.end());
  const double median = ms[ms.size() / 2];
  const int responseBytes = c.registers > 0 ? 2 * c.registers + 5 : 8;
  const double paced = PacedMilliseconds(baud, responseBytes);
  const double realLine = paced + ByteMilliseconds(baud, kRequestBytes);
  std::printf("%-10s %6d %9.1f %9.1f %9.1f %7.3f %8.2f %8.3f\n", c.name, baud, median, paced, realLine,
              median / paced, median - paced, cpuMs);
}

}  // namespace

int main() {
  // The benchmark runs from the build tree: put the built simulator first.
  const std::string path = std::string(QM4SIM_DIR) + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "");
  setenv("PATH", path.c_str(), 1);

  const Case cases[] = {{"read 4", 4}, {"read 48", 48}, {"read 125", 125}, {"write", 0}};
  // ratio and "ours ms" compare with the paced line time; "line ms" adds the
  // request's own bytes, which a real RS-485 line would also spend.
  std::printf("%-10s %6s %9s %9s %9s %7s %8s %8s\n", "exchange", "baud", "median ms", "paced ms", "line ms", "ratio",
              "ours ms", "cpu ms");
  for (const int baud : {38400, 9600}) {
    SimLauncher sim;
    std::string error;
    if (!sim.Start({"--meter", "1:QM4C", "--static", "--baud", std::to_string(baud)}, &error)) {
      std::fprintf(stderr, "qm4sim: %s\n", error.c_str());
      return 1;
    }
    if (!OpenPort(sim.LinkPath().c_str(), baud)) {
      std::fprintf(stderr, "Unable to open %s: %s\n", sim.LinkPath().c_str(), PortOpenFailureText().c_str());
      return 1;
    }
    for (const Case& c : cases) Measure(baud, c);
    ClosePort();
  }
  return 0;
}
