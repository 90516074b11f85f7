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
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "bench/paced_sim.h"
#include "modbus/link.h"

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

// The journal line of the request just answered. qm4sim writes it before the
// answer goes out, so it is there once the transaction is over; a line is
// waited for a moment all the same. The buffers are reused: the soak itself
// allocates nothing per transaction, so its memory is the master's.
class JournalReader {
 public:
  explicit JournalReader(const std::string& path) : file_(std::fopen(path.c_str(), "r")) {}
  ~JournalReader() {
    if (file_) std::fclose(file_);
  }
  bool Next(Served& s) {
    if (!file_) return false;
    for (int wait = 0; !std::fgets(line_, sizeof line_, file_); ++wait) {
      if (wait == kWaits) return false;
      std::clearerr(file_);
      usleep(1000);
    }
    char fault[16], kind[16];
    int used = 0;
    long sequence = 0;
    if (std::sscanf(line_, "%ld %d %d %d %d %15s %15s%n", &sequence, &s.slave, &s.function, &s.first, &s.count, fault,
                    kind, &used) != 7)
      return false;
    s.fault = fault;
    s.values.clear();
    const char* at = line_ + used;
    for (int v, n; std::string(kind) == "values" && std::sscanf(at, "%d%n", &v, &n) == 1; at += n) s.values.push_back(v);
    return true;
  }

 private:
  static constexpr int kWaits = 1000;
  std::FILE* file_;
  char line_[4096];
};

long ResidentKb() {
  long pages = 0, resident = 0;
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm && std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
  if (statm) std::fclose(statm);
  return resident * kPageKb;
}

// The result a fault of its own gives a transaction under a framing.
ModbusResult OwnFaultResult(const std::string& fault, Framing framing) {
  static const std::map<std::string, ModbusResult> kResult = {{"none", ResultOk},      {"badcrc", ResultCrc},
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
bool FitsStaleBytes(ModbusResult result) { return result == ResultTooLarge || result == ResultBadLength; }

struct Figures {
  long transactions = 0, ok = 0, failed = 0, faults = 0, wrongValues = 0, misfits = 0, outOfStep = 0;
  long stale = 0;
  std::map<std::string, long> faultsByKind;
  std::map<int, long> failuresByResult;
  long rssEarlyKb = 0, rssEndKb = 0;
};

ModbusResult RunOne(ModbusLink& link, Transaction t, int* values) {
  return t.function == 3 ? link.ReadHoldingRegisters(kSlave, t.first, t.count, values)
                         : link.WriteSingleRegister(kSlave, t.first, t.count);
}

// Judges one transaction by its journal line; the earlier answer that may
// still arrive during it is the previous fault's.
void Judge(const Transaction& t, ModbusResult result, const int* values, const Served& s, Framing framing,
           bool staleMayArrive, long index, Figures& f) {
  if (s.fault != "none") ++f.faults, ++f.faultsByKind[s.fault];
  result == ResultOk ? ++f.ok : (++f.failed, ++f.failuresByResult[result]);
  if (result == ResultOk && t.function == 3 &&
      (s.values.size() != static_cast<size_t>(t.count) || !std::equal(s.values.begin(), s.values.end(), values)))
    ++f.wrongValues;
  const ModbusResult own = OwnFaultResult(s.fault, framing);
  const bool fits = result == own || (staleMayArrive && FitsStaleBytes(result)) ||
                    (staleMayArrive && result == ResultOk && own != ResultTimeout);
  if (staleMayArrive && result != own) ++f.stale;
  if (fits) return;
  ++f.misfits;
  std::fprintf(stderr, "transaction %ld (%d %d %d): fault %s gave result %d\n", index + 1, t.function, t.first, t.count,
               s.fault.c_str(), result);
}

bool Soak(Framing framing, long n, const std::string& chance, const std::string& seed, Figures& f) {
  ModbusLink link;
  link.SetSettings(LinkSettings{framing, {}, {}});
  char dir[] = "/tmp/pylax-soak-XXXXXX";
  if (!mkdtemp(dir)) return false;
  const std::string journal = std::string(dir) + "/journal";
  SimLauncher sim;
  if (!StartAndOpenSim(sim, link, {"--meter", "3:QM4C", "--random-faults", chance, "--fault-seed", seed, "--journal",
                             journal},
                       38400, QM4SIM_PATH))
    return false;
  JournalReader reader(journal);
  Served served;
  served.values.reserve(kMaxReadCount);
  int values[kMaxReadCount];
  bool staleMayArrive = false;  // an earlier answer may still come during this one
  for (long i = 0; i < n; ++i) {
    const Transaction t = kCycle[i % std::size(kCycle)];
    const ModbusResult result = RunOne(link, t, values);
    if (!reader.Next(served) || served.function != t.function || served.first != t.first) {
      ++f.outOfStep;
      break;
    }
    Judge(t, result, values, served, framing, staleMayArrive, i, f);
    staleMayArrive = served.fault == "delay" || served.fault == "late";
    ++f.transactions;
    if (i == n / 10) f.rssEarlyKb = ResidentKb();
  }
  f.rssEndKb = ResidentKb();
  link.Close();
  sim.Stop();
  std::remove(journal.c_str());
  rmdir(dir);
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
    ok = ok && f.wrongValues == 0 && f.misfits == 0 && f.outOfStep == 0 && f.transactions == n &&
         f.ok + f.failed == n &&
         f.rssEndKb - f.rssEarlyKb <= kRssSlackKb;
  }
  std::printf(ok ? "all checks passed\n" : "CHECKS FAILED\n");
  return ok ? 0 : 1;
}
