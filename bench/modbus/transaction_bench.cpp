// How long a transaction takes against qm4sim pacing its bytes like a real
// line, under each framing and, where libmodbus is installed, with libmodbus
// (a general Modbus master) asking the same registers of the same simulator,
// next to the time the line itself needs for the same exchange.
//
// The line's share of one exchange: the request and the response at 10 bits
// a character (8N1), the simulator's turnaround before it answers, and the
// quiet after the answer before the next request may start: under the
// silence framing the 35 ms that end the response (the master asks for more
// bytes than a normal answer holds), which covers the frame silence; by
// length the frame silence itself (3.5 characters of 11 bits, 1.75 ms above
// 19200 baud). At 38400 baud a read of 48 registers is 8 + 101 bytes:
// 28.4 ms on the wire, 5 ms turnaround and 35 ms silence, 68.4 ms in all;
// 35.1 ms by length. libmodbus leaves the frame silence to its caller, so
// the benchmark keeps it before each of its exchanges, as a program using
// it on a real line must.
//
// The same exchanges through qm4sim serving as a gateway on loopback (RTU
// over TCP, Modbus TCP), its bus paced alike: the share of the socket and
// the gateway next to the pseudo terminal's. Then all three unpaced, where
// only the transport and the two programs take time.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#ifdef PYLAX_BENCH_LIBMODBUS
#include <modbus.h>
#endif

#include "sim/sim_launcher.h"
#include "bench/paced_sim.h"
#include "modbus/link.h"

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
// request at once, so only the answer, the turnaround and, when silence ends
// the read, the closing quiet take line time there.
// The quiet that follows an answer before the next request: the 35 ms that
// end it under silence, the frame silence by length, none for Modbus TCP
// (the gateway keeps its own line's silence).
enum class Quiet { Response, Frame, None };

double PacedMilliseconds(int baud, int responseBytes, Quiet quiet) {
  const double quietMs = quiet == Quiet::None ? 0 : QuietAfterAnswerMs(quiet == Quiet::Response ? Framing::Silence : Framing::Length, baud);
  return ByteMilliseconds(baud, responseBytes) + kTurnaroundMs + quietMs;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The reading block holds 48 registers; a read of 125 goes to the log window.
int FirstAddress(const Case& c) { return c.registers > 48 ? 7999 : 258; }

bool RunOurs(ModbusLink& link, const Case& c) {
  static int values[kMaxReadCount];
  const ModbusResult result = c.registers > 0 ? link.ReadHoldingRegisters(kSlave, FirstAddress(c), c.registers, values)
                                              : link.WriteSingleRegister(kSlave, 149, 900);
  return result == ResultOk;
}

struct Timing {
  double medianMs = -1;  // -1: failed or not measured
  double cpuMs = 0;
};

template <typename Exchange>
Timing Measure(Exchange exchange) {
  std::vector<double> ms;
  const double cpuBefore = CpuSeconds();
  for (int i = 0; i < kRepetitions; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!exchange()) return {};
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], (CpuSeconds() - cpuBefore) * 1000.0 / kRepetitions};
}

#ifdef PYLAX_BENCH_LIBMODBUS
// The same exchange through libmodbus, which ends each read by the answer's
// length as the length framing does; it opens the device itself, so our port
// is closed meanwhile.
Timing MeasureLibmodbus(const std::string& device, int baud, const Case& c) {
  modbus_t* ctx = modbus_new_rtu(device.c_str(), baud, 'N', 8, 1);
  if (ctx == nullptr) return {};
  Timing timing;
  if (modbus_set_slave(ctx, kSlave) == 0 && modbus_connect(ctx) == 0) {
    modbus_flush(ctx);
    timing = Measure([&] {
      static uint16_t values[MODBUS_MAX_READ_REGISTERS];
      std::this_thread::sleep_for(FrameSilence(baud));
      return c.registers > 0 ? modbus_read_registers(ctx, FirstAddress(c), c.registers, values) == c.registers
                             : modbus_write_register(ctx, 149, 900) == 1;
    });
    modbus_close(ctx);
  }
  modbus_free(ctx);
  return timing;
}
#else
Timing MeasureLibmodbus(const std::string&, int, const Case&) { return {}; }
#endif

void PrintRow(const Case& c, int baud, const char* who, const Timing& t, Quiet quiet) {
  const int responseBytes = c.registers > 0 ? 2 * c.registers + 5 : 8;
  const double paced = baud > 0 ? PacedMilliseconds(baud, responseBytes, quiet) : 0;
  if (t.medianMs < 0) {
    std::printf("%-9s %6d %-10s  not measured\n", c.name, baud, who);
    return;
  }
  if (baud == 0) {
    std::printf("%-9s %6s %-10s %9.3f %9s %7s %8s %8.3f\n", c.name, "-", who, t.medianMs, "-", "-", "-", t.cpuMs);
    return;
  }
  std::printf("%-9s %6d %-10s %9.1f %9.1f %7.3f %8.2f %8.3f\n", c.name, baud, who, t.medianMs, paced,
              t.medianMs / paced, t.medianMs - paced, t.cpuMs);
}

// qm4sim on a pseudo terminal (option empty) or as a gateway (--tcp,
// --mbtcp) at baud (0: unpaced); every case under the framing given, which
// the sockets read by length whatever it says.
bool MeasureTransport(const Case* cases, size_t count, int baud, const std::string& option, const char* who,
                      Framing framing) {
  SimLauncher sim;
  std::string error;
  std::vector<std::string> args{"--meter", "1:QM4C", "--static", "--baud", std::to_string(baud)};
  if (!option.empty()) args.insert(args.begin(), {option, "127.0.0.1:0"});
  if (!sim.Start(args, &error)) {
    std::fprintf(stderr, "qm4sim: %s\n", error.c_str());
    return false;
  }
  ModbusLink link;
  link.SetSettings(LinkSettings{framing, {}, {}});
  if (!link.Open(sim.PortName(), baud > 0 ? baud : 38400)) {
    std::fprintf(stderr, "Unable to open %s: %s\n", sim.PortName().c_str(), link.OpenFailureText().c_str());
    return false;
  }
  const Quiet quiet = option == "--mbtcp" ? Quiet::None : framing == Framing::Silence ? Quiet::Response : Quiet::Frame;
  for (size_t i = 0; i < count; ++i) PrintRow(cases[i], baud, who, Measure([&] { return RunOurs(link, cases[i]); }), quiet);
  return true;
}

}  // namespace

int main() {
  // The benchmark runs from the build tree: put the built simulator first.
  const std::string path = std::string(QM4SIM_DIR) + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "");
  setenv("PATH", path.c_str(), 1);

  const Case cases[] = {{"read 4", 4}, {"read 48", 48}, {"read 125", 125}, {"write", 0}};
  // ratio and "beyond ms" compare with the paced line time (with the 35 ms
  // quiet for silence only); each case runs under silence, under length and
  // through libmodbus one after the other against the same simulator.
  std::printf("%-9s %6s %-10s %9s %9s %7s %8s %8s\n", "exchange", "baud", "master", "median ms", "paced ms", "ratio",
              "beyond ms", "cpu ms");
  for (const int baud : {38400, 9600}) {
    SimLauncher sim;
    std::string error;
    if (!sim.Start({"--meter", "1:QM4C", "--static", "--baud", std::to_string(baud)}, &error)) {
      std::fprintf(stderr, "qm4sim: %s\n", error.c_str());
      return 1;
    }
    for (const Case& c : cases) {
      ModbusLink link;
      if (!link.Open(sim.LinkPath(), baud)) {
        std::fprintf(stderr, "Unable to open %s: %s\n", sim.LinkPath().c_str(), link.OpenFailureText().c_str());
        return 1;
      }
      for (const Framing framing : {Framing::Silence, Framing::Length}) {
        link.SetSettings(LinkSettings{framing, {}, {}});
        PrintRow(c, baud, FramingName(framing), Measure([&] { return RunOurs(link, c); }),
                 framing == Framing::Silence ? Quiet::Response : Quiet::Frame);
      }
      link.Close();
      PrintRow(c, baud, "libmodbus", MeasureLibmodbus(sim.LinkPath(), baud, c), Quiet::Frame);
    }
    for (const char* form : {"tcp", "mbtcp"})
      if (!MeasureTransport(cases, std::size(cases), baud, std::string("--") + form, form, Framing::Length)) return 1;
  }
  const struct {
    const char* option;
    const char* who;
  } unpaced[] = {{"", "pty length"}, {"--tcp", "tcp"}, {"--mbtcp", "mbtcp"}};
  for (const auto& transport : unpaced)
    if (!MeasureTransport(cases, std::size(cases), 0, transport.option, transport.who, Framing::Length)) return 1;
  return 0;
}
