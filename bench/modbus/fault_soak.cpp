// The master soaked against qm4sim's random fault mode: N transactions of
// the console's poll (reads of 48, 8 and 9 registers, a reset-energy write)
// under each framing, every one checked against the journal of what the
// meter served. Run by hand (pylax_soak [N] [CHANCE] [SEED]); it prints the
// figures and ends with 1 when a check failed:
//   - a value returned with result 0 equals the one the meter served,
//   - a failure carries the result code of the fault that spoiled its answer
//     (or, after an answer held back or delayed past the timeout arrived
//     during it, one of the codes stale bytes before an answer give),
//   - results and faults add up, and the process's memory does not grow.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench/paced_sim.h"
#include "modbus/master.h"

namespace {
constexpr int kSlave = 3;
constexpr long kPageKb = 4;

struct Transaction {
  int function;
  int first;
  int count;  // a read's registers, a write's value
};

// One poll tick of a QM4C and the console's reset-energy command: no two
// requests in a row have the same shape, as in the console.
constexpr Transaction kCycle[] = {{3, 258, 48}, {3, 149, 8}, {3, 159, 9}, {6, 128, 30078}};

struct Served {
  int slave = 0, function = 0, first = 0, count = 0;
  std::string fault;
  std::vector<int> values;  // a read's served values
};

std::vector<Served> ReadJournal(const std::string& path) {
  std::vector<Served> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    long sequence = 0;
    Served s;
    std::string kind;
    words >> sequence >> s.slave >> s.function >> s.first >> s.count >> s.fault >> kind;
    for (int v; kind == "values" && words >> v;) s.values.push_back(v);
    lines.push_back(s);
  }
  return lines;
}

long ResidentKb() {
  long pages = 0, resident = 0;
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm && std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
  if (statm) std::fclose(statm);
  return resident * kPageKb;
}

// The result a fault of its own gives a transaction under a framing.
int OwnFaultResult(const std::string& fault, Framing framing) {
  static const std::map<std::string, int> kResult = {{"none", ResultOk},      {"badcrc", ResultCrc},
                                                     {"cut", ResultBadLength}, {"wrongaddr", ResultWrongAddress},
                                                     {"wrongfunc", ResultWrongFunction}, {"silent", ResultTimeout},
                                                     {"delay", ResultTimeout}, {"late", ResultTimeout}};
  // Under length the answer is taken and the bytes after it are left to the
  // next drain.
  if (fault == "oversize") return framing == Framing::Length ? ResultOk : ResultTooLarge;
  return kResult.at(fault);
}

// Stale bytes of an earlier answer before this one: too many bytes, or a
// count no answer has.
bool FitsStaleBytes(int result) { return result == ResultTooLarge || result == ResultBadLength; }

struct Figures {
  long transactions = 0, ok = 0, failed = 0, faults = 0, wrongValues = 0, misfits = 0, outOfStep = 0;
  long stale = 0;
  std::map<std::string, long> faultsByKind;
  std::map<int, long> failuresByResult;
  long rssEarlyKb = 0, rssEndKb = 0;
};

int RunOne(Transaction t, int* values) {
  return t.function == 3 ? ReadHoldingRegisters(g_port, kSlave, t.first, t.count, values)
                         : WriteSingleRegister(g_port, kSlave, t.first, t.count);
}

bool Soak(Framing framing, long n, const std::string& chance, const std::string& seed, Figures& f) {
  g_framing = framing;
  char dir[] = "/tmp/pylax-soak-XXXXXX";
  if (!mkdtemp(dir)) return false;
  const std::string journal = std::string(dir) + "/journal";
  SimLauncher sim;
  if (!StartAndOpenSim(sim, {"--meter", "3:QM4C", "--random-faults", chance, "--fault-seed", seed, "--journal",
                             journal},
                       38400, QM4SIM_PATH))
    return false;
  std::vector<int> results(static_cast<size_t>(n));
  std::vector<std::vector<int>> returned(static_cast<size_t>(n));
  int values[kMaxReadCount];
  for (long i = 0; i < n; ++i) {
    const Transaction t = kCycle[i % std::size(kCycle)];
    results[i] = RunOne(t, values);
    if (results[i] == ResultOk && t.function == 3) returned[i].assign(values, values + t.count);
    if (i == n / 10) f.rssEarlyKb = ResidentKb();
  }
  f.rssEndKb = ResidentKb();
  ClosePort();
  sim.Stop();
  const std::vector<Served> served = ReadJournal(journal);
  std::remove(journal.c_str());
  rmdir(dir);
  f.transactions = n;
  bool staleMayArrive = false;  // an earlier answer may still come during this one
  for (long i = 0; i < n; ++i) {
    const Transaction t = kCycle[i % std::size(kCycle)];
    if (static_cast<size_t>(i) >= served.size() || served[i].function != t.function || served[i].first != t.first) {
      ++f.outOfStep;
      continue;
    }
    const Served& s = served[i];
    const int result = results[i];
    if (s.fault != "none") ++f.faults, ++f.faultsByKind[s.fault];
    result == ResultOk ? ++f.ok : (++f.failed, ++f.failuresByResult[result]);
    if (result == ResultOk && t.function == 3 && returned[i] != s.values) ++f.wrongValues;
    const int own = OwnFaultResult(s.fault, framing);
    const bool fits = result == own || (staleMayArrive && FitsStaleBytes(result)) ||
                      (staleMayArrive && result == ResultOk && own != ResultTimeout);
    if (staleMayArrive && result != own) ++f.stale;
    if (!fits) {
      ++f.misfits;
      std::fprintf(stderr, "transaction %ld (%d %d %d): fault %s gave result %d\n", i + 1, t.function, t.first,
                   t.count, s.fault.c_str(), result);
    }
    staleMayArrive = s.fault == "delay" || s.fault == "late";
  }
  return true;
}

void Print(Framing framing, const Figures& f, double chance) {
  std::printf("framing %s: %ld transactions, %.1f %% of answers spoiled (%ld faults:", FramingName(framing),
              f.transactions, 100.0 * chance, f.faults);
  for (const auto& [kind, count] : f.faultsByKind) std::printf(" %s %ld", kind.c_str(), count);
  std::printf(")\n  ok %ld + failed %ld = %ld; failures by result:", f.ok, f.failed, f.ok + f.failed);
  for (const auto& [result, count] : f.failuresByResult) std::printf(" #%d %ld", result, count);
  std::printf("\n  spoiled by an earlier answer arriving late: %ld\n", f.stale);
  std::printf("  wrong values accepted %ld, failures with a code that does not fit %ld, out of step %ld\n",
              f.wrongValues, f.misfits, f.outOfStep);
  std::printf("  resident memory %ld KB after a tenth, %ld KB at the end\n", f.rssEarlyKb, f.rssEndKb);
}

// Memory may settle in the first tenth (buffers of the C library); after it
// nothing is allocated per transaction.
constexpr long kRssSlackKb = 64;
}  // namespace

int main(int argc, char** argv) {
  const long n = argc > 1 ? std::atol(argv[1]) : 4000;
  const std::string chance = argc > 2 ? argv[2] : "0.05";
  const std::string seed = argc > 3 ? argv[3] : "1";
  bool ok = true;
  for (Framing framing : {Framing::Silence, Framing::Length}) {
    Figures f;
    if (!Soak(framing, n, chance, seed, f)) return 2;
    Print(framing, f, std::atof(chance.c_str()));
    ok = ok && f.wrongValues == 0 && f.misfits == 0 && f.outOfStep == 0 && f.ok + f.failed == n &&
         f.rssEndKb - f.rssEarlyKb <= kRssSlackKb;
  }
  std::printf(ok ? "all checks passed\n" : "CHECKS FAILED\n");
  return ok ? 0 : 1;
}
