// qm4sim: a bus of simulated QM4 meters on a pseudo terminal. The logic
// lives in pylax_sim; this file owns the terminal, the signals and the
// poll() loop that joins the line, the control channel and the clock.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "modbus/line_io.h"
#include "resources/version_info.h"
#include "sim/control.h"
#include "sim/line_output.h"
#include "sim/options.h"
#include "sim/rtu.h"
#include "sim/sim_bus.h"
#include "sim/tcp_server.h"
#include "util/shown_text.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t n = write(g_signalPipe[1], &byte, 1);
}

double Now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Replies and events go out through a queue so that a reader who is slow
// to take them never stops the meters: on a pipe, stdout is non-blocking
// and the loop writes when it is writable. Events beyond a generous backlog
// are dropped (a reader that far behind is not reading them); replies never.
class StdoutQueue {
 public:
  StdoutQueue() {
    struct stat st {};
    if (fstat(STDOUT_FILENO, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
      fcntl(STDOUT_FILENO, F_SETFL, fcntl(STDOUT_FILENO, F_GETFL) | O_NONBLOCK);
      nonblocking_ = true;
    }
  }
  // A last try, never a wait: a reader that stopped reading must not keep
  // the simulator from ending.
  ~StdoutQueue() {
    Flush();
    if (nonblocking_) fcntl(STDOUT_FILENO, F_SETFL, fcntl(STDOUT_FILENO, F_GETFL) & ~O_NONBLOCK);
  }
  void Say(const std::string& line, bool droppable = false) {
    if (droppable && pending_.size() > kMaxBacklog) return;
    pending_ += TerminalText(line);
    pending_ += '\n';
    Flush();
  }
  void Flush() {
    while (!pending_.empty()) {
      const ssize_t n = write(STDOUT_FILENO, pending_.data(), pending_.size());
      if (n > 0) {
        pending_.erase(0, static_cast<size_t>(n));
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        if (n < 0 && errno != EAGAIN) pending_.clear();  // nobody reads any more
        return;
      }
    }
  }
  bool Waiting() const { return !pending_.empty(); }

 private:
  static constexpr size_t kMaxBacklog = 8u << 20;
  std::string pending_;
  bool nonblocking_ = false;
};

bool InstallSignals() {
  if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a reader of stdout that went away must not kill us
  return true;
}

// The master side of a raw pseudo terminal, its slave side published at
// link; -1 with a message on failure.
int OpenTerminal(const std::string& link) {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    std::fprintf(stderr, "qm4sim: openpty: %s\n", std::strerror(errno));
    return -1;
  }
  // Raw on the slave side: no echo, no line editing, no CR/LF translation.
  // The settings stay with the terminal after we close our slave descriptor.
  struct termios t {};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  const std::string device = ttyname(slave) ? ttyname(slave) : "";
  close(slave);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(link.c_str());  // stale link
  if (device.empty() || symlink(device.c_str(), link.c_str()) != 0) {
    std::fprintf(stderr, "qm4sim: cannot create link %s: %s\n", link.c_str(), std::strerror(errno));
    close(master);
    return -1;
  }
  return master;
}

class Simulator {
 public:
  Simulator(const SimOptions& o, int master, SimGateway* gateway)
      : master_(master),
        gateway_(gateway),
        framer_(kFrameSilence),
        bus_([this](const std::string& e) { out_.Say("event " + e, true); }) {
    const double now = Now();
    for (const MeterSetup& m : o.meters) bus_.AddMeter(m, now);
    for (const FaultOption& f : o.faults) bus_.SetFault(f.address, f.fault);
    std::string ignored;  // the options checked the text
    if (!o.randomFaults.empty()) bus_.SetRandomFaults(*RandomFaults::Parse(o.randomFaults, o.faultSeed, &ignored));
    line_.SetBaud(o.baud);
    echo_ = o.echo;
    // A Modbus TCP gateway keeps its own line's silence before each request
    // it passes on; a transparent one (RTU over TCP) passes the master's
    // bytes as they come, as a pseudo terminal does.
    strictSilence_ = o.gateway != Transport::ModbusTcp;
    bus_.SetTurnaround((o.turnaroundMs >= 0 ? o.turnaroundMs : o.baud > 0 ? 5 : 0) / 1000.0);
    if (o.prefill > 0)
      for (SimMeter* m : bus_.Meters())
        if (m->GetModel() == Model::QM4C) m->Prefill(o.prefill, now);
  }

  void Run();
  void Say(const std::string& line) { out_.Say(line); }
  bool OpenJournal(const std::string& path) { return bus_.OpenJournal(path); }

 private:
  // A partial request left alone this long is noise. Real slaves use 3.5
  // characters (4 ms at 9600 baud); a pseudo terminal on a busy machine can
  // stall longer than that between two bytes of one write.
  static constexpr double kFrameSilence = 0.05;
  // With no master on the slave side the master side reports hang-up at
  // once; look again this often instead of spinning.
  static constexpr double kHangupRetry = 0.02;
  static constexpr double kTick = 0.2;

  timespec Timeout(double now) const;
  bool ReadControl();
  void ReadLine(double now);
  void Serve(const std::vector<Request>& requests, double now);
  void WriteDue(double now);
  bool IsTail(double now);

  StdoutQueue out_;
  int master_;
  SimGateway* gateway_;  // null on a serial line
  RequestFramer framer_;
  SimBus bus_;
  LineOutput line_;
  std::string control_;
  bool stdinOpen_ = true;
  double hangupUntil_ = 0;
  bool echo_ = false;
  bool strictSilence_ = true;
  // The paced line's frame silence: when it last carried a byte (heard or
  // sent), and whether the bytes coming in belong to the frame before.
  double lastLineByte_ = 0;
  bool inTail_ = false;
};

// Microsecond deadlines: at 38400 baud a character takes 0.26 ms, finer
// than poll()'s milliseconds.
timespec Simulator::Timeout(double now) const {
  double until = std::min({now + kTick, line_.NextDue(), framer_.SilenceDeadline()});
  if (hangupUntil_ > now) until = std::min(until, hangupUntil_);
  const double wait = std::max(0.0, until - now);
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(wait);
  ts.tv_nsec = static_cast<long>((wait - static_cast<double>(ts.tv_sec)) * 1e9);
  return ts;
}

// False when a quit command came.
bool Simulator::ReadControl() {
  char buf[4096];
  const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
  if (n <= 0) {
    if (n == 0 || (errno != EINTR && errno != EAGAIN)) stdinOpen_ = false;  // keep serving the line
    return true;
  }
  control_.append(buf, static_cast<size_t>(n));
  for (size_t eol; (eol = control_.find('\n')) != std::string::npos;) {
    const std::string command = control_.substr(0, eol);
    control_.erase(0, eol + 1);
    const ControlResult r = ExecuteControl(bus_, line_, gateway_, command, Now());
    out_.Say(r.reply);
    if (r.quit) return false;
  }
  return true;
}

void Simulator::ReadLine(double now) {
  uint8_t buf[512];
  const ssize_t n = read(master_, buf, sizeof buf);
  if (n <= 0) {
    if (n < 0 && errno == EIO) hangupUntil_ = now + kHangupRetry;  // no master on the line
    return;
  }
  if (echo_) [[maybe_unused]] ssize_t e = write(master_, buf, static_cast<size_t>(n));
  if (IsTail(now)) return;
  std::vector<Request> requests;
  framer_.Feed(buf, static_cast<size_t>(n), now, &requests);
  Serve(requests, now);
}

// On a paced line, as a real slave: bytes that start a frame sooner than the
// frame silence after the last byte on the line run into that frame, and
// what follows belongs to it until the line has been quiet long enough.
bool Simulator::IsTail(double now) {
  const int baud = line_.Baud();
  const double gap = now - lastLineByte_;
  lastLineByte_ = now;
  if (baud <= 0 || !strictSilence_) return false;
  const double silence = std::chrono::duration<double>(FrameSilence(baud)).count();
  if (inTail_ && gap >= silence) inTail_ = false;
  if (!inTail_ && framer_.Pending() == 0 && gap < silence) {
    inTail_ = true;
    bus_.HeardTail(gap, silence);
  }
  return inTail_;
}

void Simulator::Serve(const std::vector<Request>& requests, double now) {
  for (const Request& r : requests) line_.Schedule(bus_.Handle(r, now), now);
}

// Bytes nobody can take (the master's buffer full or no master at all) are
// lost, as on a real line.
void Simulator::WriteDue(double now) {
  const std::vector<uint8_t> bytes = line_.TakeDue(now);
  if (bytes.empty()) return;
  // The time before the write, not after: the master may have the bytes and
  // answer them while we are held up past the write, and a later time
  // here would take its well-spaced request for a tail.
  lastLineByte_ = now;
  [[maybe_unused]] ssize_t n = write(master_, bytes.data(), bytes.size());
}

void Simulator::Run() {
  for (;;) {
    double now = Now();
    const bool hangup = hangupUntil_ > now;
    pollfd fds[4] = {{g_signalPipe[0], POLLIN, 0},
                     {stdinOpen_ ? STDIN_FILENO : -1, POLLIN, 0},
                     {hangup ? -1 : master_, POLLIN, 0},
                     {out_.Waiting() ? STDOUT_FILENO : -1, POLLOUT, 0}};
    const timespec timeout = Timeout(now);
    if (ppoll(fds, 4, &timeout, nullptr) < 0 && errno != EINTR) return;
    now = Now();
    if (fds[0].revents) return;
    if (fds[3].revents) out_.Flush();
    if (fds[1].revents && !ReadControl()) return;
    if (fds[2].revents & POLLIN)
      ReadLine(now);
    else if (fds[2].revents & (POLLHUP | POLLERR))
      hangupUntil_ = now + kHangupRetry;
    std::vector<Request> late;
    framer_.CheckSilence(now, &late);
    Serve(late, now);
    WriteDue(now);
    bus_.Advance(now);
  }
}

}  // namespace

int main(int argc, char** argv) {
  SimOptions options;
  const std::string error = ParseOptions(argc, argv, &options);
  if (options.help) {
    std::fputs(kHelpText, stdout);
    return 0;
  }
  if (options.version) {
    std::fputs(version_info::Text("qm4sim").c_str(), stdout);
    return 0;
  }
  if (!error.empty()) {
    std::fprintf(stderr, "qm4sim: %s\nTry 'qm4sim --help'.\n", error.c_str());
    return 2;
  }
  if (!InstallSignals()) return 1;
  const bool overTcp = options.gateway != Transport::Serial;
  std::string served = options.link, failure;
  SimGateway gateway;
  const int master = overTcp ? gateway.Start(options.gatewayAddress, options.gateway, &served, &failure)
                             : OpenTerminal(options.link);
  if (master < 0) {
    if (overTcp) std::fprintf(stderr, "qm4sim: %s\n", failure.c_str());
    return 1;
  }
  {
    Simulator sim(options, master, overTcp ? &gateway : nullptr);
    if (!options.journal.empty() && !sim.OpenJournal(options.journal)) {
      std::fprintf(stderr, "qm4sim: cannot write journal %s: %s\n", options.journal.c_str(), std::strerror(errno));
      if (!overTcp) unlink(options.link.c_str());
      return 1;
    }
    sim.Say("ready " + served);
    sim.Run();
  }
  if (!overTcp) unlink(options.link.c_str());
  close(master);
  return 0;
}
