// Full-log download (10 slots x 5760 entries) from qm4sim pacing its bytes
// at a real baud rate: wall time next to what the line itself needs for the
// same exchanges, peak memory and the process's CPU time.
//
// The line's own limit per transaction: request and response bytes at 10
// bits a character (8N1), the simulator's turnaround, and under the silence
// framing the 35 ms of quiet after the response that ends every read (the
// master asks for more bytes than a good answer holds). 38400 baud: 0.260 ms
// a character, so a 125-register section (8 + 255 bytes) is 68.5 ms on the
// wire, 108.5 ms in all, 73.5 ms by length. PYLAX_FRAMING picks the framing.

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "bus/download.h"
#include "bench/paced_sim.h"

namespace {
constexpr int kBaud = 38400;
constexpr double kTurnaroundMs = 5.0;  // qm4sim's default with --baud
constexpr double kBitsPerCharacter = 10.0;

long g_transactions = 0;
long g_lineBytes = 0;

// Counts the bytes of one trace line: "Send->01 03 ...\r\n" has three
// characters a byte after the six of its prefix.
long BytesOfLine(const char* line, const char* end) { return (end - line - 6 + 1) / 3; }

// Asked by the link's live trace ring after each exchange.
void CountExchange(void* ring) {
  const TraceRing& trace = *static_cast<const TraceRing*>(ring);
  const char* entry = trace.entries[trace.newest];
  const char* recv = std::strstr(entry, "Recv->");
  const char* send_end = std::strstr(entry, "\r\n");
  const char* recv_end = recv ? std::strstr(recv, "\r\n") : nullptr;
  if (recv == nullptr || send_end == nullptr || recv_end == nullptr) return;
  ++g_transactions;
  g_lineBytes += BytesOfLine(entry, send_end) + (recv_end > recv + 6 ? BytesOfLine(recv, recv_end) : 0);
}

class QuietLog : public StatusLog {
 public:
  void Show(const std::string&, const std::string&) override { ++messages; }
  long messages = 0;
};

double CpuSeconds(const rusage& usage) {
  return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}
}  // namespace

int main() {
  SimLauncher sim;
  std::string error;
  Framing framing = Framing::Silence;
  if (!ChooseFraming("", &framing, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  const double silenceMs = QuietAfterAnswerMs(framing, kBaud);
  const std::vector<std::string> args{"--meter", "3:QM4C", "--baud", std::to_string(kBaud), "--prefill", "5760"};
  ModbusLink link;
  link.SetSettings(LinkSettings{framing, {}, {}});
  if (!StartAndOpenSim(sim, link, args, kBaud, QM4SIM_PATH)) return 1;
  link.Trace().live = 1;
  link.Trace().repaintRequest = CountExchange;
  link.Trace().repaintContext = &link.Trace();

  const auto dir = std::filesystem::temp_directory_path() / ("pylax-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);

  QuietLog log;
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  const auto start = std::chrono::steady_clock::now();
  const bool written = DownloadLoggedData(link, Meter{3, ModelQM4C, "", ""}, log);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  const auto csvSize = written ? std::filesystem::file_size("03-data.csv") : 0;
  link.Close();
  std::filesystem::current_path("/");
  std::filesystem::remove_all(dir);
  if (!written) {
    std::fprintf(stderr, "download failed\n");
    return 1;
  }

  const double line = g_lineBytes * kBitsPerCharacter / kBaud + g_transactions * (kTurnaroundMs + silenceMs) / 1000.0;
  const double cpu = CpuSeconds(after) - CpuSeconds(before);
  std::printf("full-log download, 10 slots x 5760 entries, %d baud, %s framing\n", kBaud, FramingName(framing));
  std::printf("  transactions            %ld (%ld bytes on the line)\n", g_transactions, g_lineBytes);
  std::printf("  wall time               %.2f s\n", wall);
  std::printf("  line's own limit        %.2f s (bytes %.2f s + turnaround and the 35 ms or frame silence %.2f s)\n", line,
              g_lineBytes * kBitsPerCharacter / kBaud, g_transactions * (kTurnaroundMs + silenceMs) / 1000.0);
  std::printf("  beyond the line         %.2f s (%.2f%% of the total)\n", wall - line, 100.0 * (wall - line) / wall);
  std::printf("  CPU time, whole process %.3f s (%.2f%% of the total)\n", cpu, 100.0 * cpu / wall);
  std::printf("  peak RSS                %ld KB\n", after.ru_maxrss);
  std::printf("  CSV                     %ju bytes, %ld messages logged\n", static_cast<uintmax_t>(csvSize), log.messages);
  return 0;
}
