// pylaxctl log sync and archive list|export as processes: what they say,
// their exit statuses, and a sync killed at any point.

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>

#include <sqlite3.h>

#include "monitor/meter_id.h"
#include "tests/archive/sync_fixture.h"
#include "tests/monitor/monitor_support.h"
#include "tests/support/influx_server.h"
#include "tests/support/pylaxctl_process.h"

namespace {
int Finish(pid_t pid) { return FinishPylaxctlProcess(pid); }

class ArchiveCli : public ArchiveSync {
 protected:
  void StartMeter() {
    ArchiveSync::StartMeter();
    Sim("clock 3 2026 01 15 12 00 00");
    Sim("prefill 3 200");
    link_.Close();  // pylaxctl opens it
    setenv("TZ", "UTC", 1);
    setenv("PYLAX_FRAMING", "length", 1);
    tzset();
  }
  void TearDown() override {
    unsetenv("TZ");
    unsetenv("PYLAX_FRAMING");
    tzset();
    ArchiveSync::TearDown();
  }
  Meter SyncedMeter() const { return {3, ModelQM4C, "Orvant QM4C Power Meter", BusId(sim_->LinkPath(), HostName())}; }
  long Archived(const std::string& path) {
    SqliteStore store("sqlite:" + path, path);
    std::string error;
    std::vector<ArchivedMeterRuns> meters;
    EXPECT_TRUE(store.Open(true, &error) && store.ListMeters(meters, &error)) << error;
    long entries = 0;
    for (const ArchivedMeterRuns& m : meters)
      for (const ArchivedRun& run : m.runs) entries += run.entries;
    return entries;
  }
};

struct CliCase {
  const char* name;
  std::vector<std::string> args;  // after pylaxctl; LINK stands for the simulator's port
  int status;
  std::vector<std::string> out;  // STEM stands for the meter's id
  std::vector<std::string> err;
  const char* fault = "";  // qm4sim's, before the run
};

const CliCase kCliCases[] = {
    {"SyncTwoArchivesOneAway",
     {"--port", "LINK", "--slave", "3", "log", "sync", "--archive", "sqlite:a.sqlite", "--archive",
      "influx://127.0.0.1:9/pylax"},
     10,
     {"STEM -> sqlite:a.sqlite: 200 new entries, log run 1 holds 200 from 2026-01-15T08:41:00Z to 2026-01-15T12:00:00Z"},
     {"STEM -> influx://127.0.0.1:9/pylax: cannot reach InfluxDB at 127.0.0.1:9 (Connection); nothing of this sync "
      "counts as archived there"}},
    {"SyncWaitsForABusyMeter", {"--port", "LINK", "--slave", "3", "log", "sync", "--archive", "sqlite:a.sqlite"}, 0,
     {"STEM -> sqlite:a.sqlite: 200 new entries, log run 1 holds 200 from 2026-01-15T08:41:00Z to 2026-01-15T12:00:00Z"},
     {"pylaxctl: meter 03's log is being read by another master; waiting"}, "fault 3 exception:6 2 at 7999"},
    {"NoSuchArchiveKind", {"--port", "LINK", "--slave", "3", "log", "sync", "--archive", "mysql://db"}, 10, {},
     {"pylaxctl: mysql://db is not an archive: sqlite:PATH, influx://HOST[:PORT]/DATABASE or "
      "influxs://HOST[:PORT]/DATABASE"}},
    {"PasswordInTheUrl", {"--port", "LINK", "--slave", "3", "log", "sync", "--archive", "influx://u:secret@h/db"}, 10, {},
     {"pylaxctl: an archive URL takes no user or password: give --influx-user, and the password in "
      "--influx-password-file or PYLAX_INFLUX_PASSWORD"}},
    {"InfluxIpv6WithoutBrackets", {"--port", "LINK", "--slave", "3", "log", "sync", "--archive", "influx://::1/db"}, 10,
     {}, {"pylaxctl: influx://::1/db is not influx://HOST[:PORT]/DATABASE: an IPv6 address goes in brackets, as in "
      "[::1]:502"}},
    {"WrongModel", {"--port", "LINK", "--slave", "7", "log", "sync", "--archive", "sqlite:a.sqlite"}, 5, {},
     {"pylaxctl: this command needs a QM4C; the meter at address 07 is a QM4A"}},
    {"ListOfNothing", {"archive", "list", "--archive", "sqlite:none.sqlite"}, 10, {},
     {"pylaxctl: cannot open the archive none.sqlite: unable to open database file"}},
    {"ExportBadTime", {"archive", "export", "--from", "yesterday"}, 2, {},
     {"pylaxctl: --from yesterday is not a time such as 2026-12-07, 2026-12-07T12:49 or 2026-12-07T12:49:28Z"}},
};

void PrintTo(const CliCase& c, std::ostream* out) { *out << c.name; }

class CliCases : public ArchiveCli, public ::testing::WithParamInterface<CliCase> {};

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}
}  // namespace

TEST_P(CliCases, SaysWhatHappenedAndExits) {
  const CliCase& c = GetParam();
  StartBus({"--meter", "3:QM4C", "--meter", "7:QM4A", "--static", "--subinterval", "60"});
  Sim("clock 3 2026 01 15 12 00 00");
  Sim("prefill 3 200");
  if (*c.fault != '\0') Sim(c.fault);
  link_.Close();
  setenv("TZ", "UTC", 1);
  setenv("PYLAX_FRAMING", "length", 1);
  tzset();
  std::vector<std::string> args;
  for (const std::string& arg : c.args) args.push_back(arg == "LINK" ? sim_->LinkPath() : arg);
  EXPECT_EQ(Finish(StartPylaxctl(args)), c.status);
  std::vector<std::string> out, err;
  for (const std::string& line : c.out) out.push_back(Replaced(line, "STEM", MeterId(SyncedMeter())));
  for (const std::string& line : c.err) err.push_back(Replaced(line, "STEM", MeterId(SyncedMeter())));
  EXPECT_EQ(SplitLines(ReadWholeFile("stdout.txt")), out);
  EXPECT_EQ(SplitLines(ReadWholeFile("stderr.txt")), err);
}

INSTANTIATE_TEST_SUITE_P(Archive, CliCases, ::testing::ValuesIn(kCliCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Killed after its identification, its state read, halfway through the
// slots, and once all was read (about when it commits): the archive holds
// all of that sync or none of it, and the next sync completes it.
TEST_F(ArchiveCli, KilledSyncLeavesTheArchiveWhole) {
  StartMeter();
  for (const size_t requests : {1, 2, 30, 64}) {
    const std::string path = "killed-after-" + std::to_string(requests) + ".sqlite";
    sim_->TakeEvents(0, 0);
    const pid_t pid = StartPylaxctl({"--port", sim_->LinkPath(), "--slave", "3", "log", "sync", "--archive", "sqlite:" + path});
    ASSERT_GE(sim_->TakeEvents(requests, 20000).size(), requests);
    kill(pid, SIGKILL);
    ASSERT_EQ(Finish(pid), 128 + SIGKILL);
    const long before = Archived(path);
    EXPECT_TRUE(before == 0 || before == 200) << requests << " requests: " << before;
    ASSERT_TRUE(link_.Open(sim_->LinkPath().c_str(), 38400));
    SqliteStore store("sqlite:" + path, path);
    std::string error;
    ASSERT_TRUE(store.Open(true, &error)) << error;
    SyncStatusLog log;
    const SyncResult result = SyncMeterLog(link_, SyncedMeter(), {&store}, log);
    link_.Close();
    ASSERT_TRUE(result.AllArchived()) << result.failure << result.archives[0].error;
    EXPECT_EQ(result.archives[0].outcome.added, 200 - before) << requests << " requests";
    EXPECT_EQ(result.archives[0].outcome.runEntries, 200) << requests << " requests";
  }
}

// archive list and export read back what a sync wrote, read-only: the
// export is the run's newest entries in the span, laid out as a download.
TEST_F(ArchiveCli, ListAndExport) {
  StartMeter();
  ASSERT_EQ(Finish(StartPylaxctl({"--port", sim_->LinkPath(), "--slave", "3", "log", "sync", "--archive", "sqlite:a.sqlite"})), 0);
  // From a folder the reader may not write (as nobody, where the test runs as root).
  std::filesystem::permissions(".", std::filesystem::perms(0555));
  ASSERT_EQ(Finish(StartPylaxctl({"archive", "list", "--archive", "sqlite:a.sqlite"}, getuid() == 0 ? 65534 : getuid())), 0);
  std::filesystem::permissions(".", std::filesystem::perms(0755));
  EXPECT_EQ(SplitLines(ReadWholeFile("stdout.txt")),
            (std::vector<std::string>{
                MeterId(SyncedMeter()) + "  Orvant QM4C Power Meter (QM4C)",
                "  run 1: every 60 s, slots 1 2 3 6 8 9 26 261 262 0 (KWH,KWH,KW,PF,VLN,AMPS-AVG,HZ,KW,KW,)",
                "    200 entries from 2026-01-15T08:41:00Z to 2026-01-15T12:00:00Z"}));
  ASSERT_EQ(Finish(StartPylaxctl({"archive", "export", "--archive", "sqlite:a.sqlite", "--from", "2026-01-15T11:58",
                                  "--to", "2026-01-15T11:59:00Z", "--output", "-"})),
            0);
  const std::vector<std::string> rows = SplitLines(ReadWholeFile("stdout.txt"));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], "Data#, UTC, Date/Time,KWH,KWH,KW,PF,VLN,AMPS-AVG,HZ,KW,KW,");
  EXPECT_EQ(rows[1].substr(0, 37), "1,0x6968D684,Thu Jan 15 11:59:00 2026");
  EXPECT_EQ(rows[2].substr(0, 37), "2,0x6968D648,Thu Jan 15 11:58:00 2026");
  EXPECT_EQ(SplitLines(ReadWholeFile("stderr.txt")),
            std::vector<std::string>{"pylaxctl: log run 1 of " + MeterId(SyncedMeter()) +
                                     ": 2 rows, 2 with an entry, to stdout"});
  EXPECT_EQ(Finish(StartPylaxctl({"archive", "export", "--archive", "sqlite:a.sqlite", "--meter", "COM9_1"})), 11);
  EXPECT_EQ(SplitLines(ReadWholeFile("stderr.txt")), std::vector<std::string>{"pylaxctl: the archive holds no meter COM9_1"});
}

// Whatever answers at InfluxDB's address, however odd: a failed sync, exit 10.
TEST_F(ArchiveCli, AnyAnswerAtInfluxdbsAddressIsAFailedSync) {
  StartMeter();
  const struct { int queryStatus; const char* query; int writeStatus; const char* write; std::string said;
  } cases[] = {
      {200, R"({"error":123})", 204, "", "InfluxDB refused the query: 123"},
      {200, R"({"results":[{"error":{"no":"text"}}]})", 204, "", R"(InfluxDB refused the query: {"no":"text"})"},
      {200, R"({"results":[{"series":[{"columns":["run"],"values":[[1e300]]}]}]})", 204, "",
       "InfluxDB's cursor of " + MeterId(SyncedMeter()) + " does not read as a pylax cursor"},
      {502, "<html>bad gateway</html>", 204, "", "InfluxDB refused the query: HTTP 502"},
      {200, R"({"results":[{}]})", 400, R"({"error":false})", "InfluxDB refused the write (HTTP 400): false"},
  };
  std::atomic<size_t> row{0};
  // A plain server, not the monitor's GET-only listener: InfluxDB takes writes.
  httplib::Server influx;
  const auto answer = [&](const httplib::Request& request, httplib::Response& response) {
    const bool query = request.path == "/query";
    response.status = query ? cases[row].queryStatus : cases[row].writeStatus;
    response.set_content(query ? cases[row].query : cases[row].write, "application/json");
  };
  influx.Get(".*", answer);
  influx.Post(".*", answer);
  const std::string address = "127.0.0.1:" + std::to_string(influx.bind_to_any_port("127.0.0.1"));
  std::thread serving([&influx] { influx.listen_after_bind(); });
  const std::vector<std::string> args{"--port", sim_->LinkPath(), "--slave", "3", "log", "sync", "--archive",
                                      "influx://" + address + "/pylax"};
  for (; row < std::size(cases); ++row) {
    EXPECT_EQ(Finish(StartPylaxctl(args)), 10);
    EXPECT_NE(ReadWholeFile("stderr.txt").find(": " + cases[row].said + "; nothing of this sync"), std::string::npos)
        << ReadWholeFile("stderr.txt");
  }
  influx.stop();
  serving.join();
}

// Another program's SQLite file, even with an archive's table names, is
// refused by each command and left byte for byte, its journal mode too. An
// archive of before the mark is known by its tables; the next sync marks it.
TEST_F(ArchiveCli, RefusesAnotherProgramsFileAndMarksAnOldArchive) {
  StartMeter();
  const auto sql = [](const char* path, const std::string& statement) {  // the file's application_id after
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path, &db) | sqlite3_exec(db, statement.c_str(), nullptr, nullptr, nullptr), 0) << statement;
    sqlite3_stmt* mark = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA application_id", -1, &mark, nullptr);
    const int64_t id = sqlite3_step(mark) == SQLITE_ROW ? sqlite3_column_int64(mark, 0) : -1;
    sqlite3_finalize(mark);
    sqlite3_close(db);
    return id;
  };
  const std::string foreign[] = {"CREATE TABLE notes (text)",
                                 "CREATE TABLE meters (id); CREATE TABLE runs (id); CREATE TABLE entries (id); "
                                 "CREATE TABLE gaps (id); CREATE TABLE cursors (id)"};
  const std::vector<std::string> commands[] = {
      {"archive", "list"}, {"archive", "export"}, {"--port", sim_->LinkPath(), "--slave", "3", "log", "sync"},
      {"--port", sim_->LinkPath(), "monitor", "--start", "3", "--end", "3"}};
  for (const std::string& tables : foreign) {
    std::filesystem::remove("other.sqlite");
    sql("other.sqlite", tables);
    const std::string before = ReadWholeFile("other.sqlite");
    for (std::vector<std::string> args : commands) {
      args.insert(args.end(), {"--archive", "sqlite:other.sqlite"});
      EXPECT_EQ(Finish(StartPylaxctl(args)), 10) << args[1];
      EXPECT_EQ(ReadWholeFile("stderr.txt"), "pylaxctl: other.sqlite is no Pylax archive (it bears no Pylax mark, and it "
                                             "lacks Pylax's tables meters, runs, entries, gaps and cursors); it was left "
                                             "as it is\n");
      EXPECT_EQ(ReadWholeFile("other.sqlite"), before) << tables << " " << args[1];
      EXPECT_FALSE(std::filesystem::exists("other.sqlite-wal")) << args[1];
    }
  }
  const std::vector<std::string> sync{"--port", sim_->LinkPath(), "--slave", "3",
                                      "log",    "sync",           "--archive", "sqlite:a.sqlite"};
  ASSERT_EQ(Finish(StartPylaxctl(sync)), 0) << ReadWholeFile("stderr.txt");
  EXPECT_EQ(sql("a.sqlite", "PRAGMA application_id = 0"), 0);  // as an archive of before the mark
  ASSERT_EQ(Finish(StartPylaxctl(sync)), 0) << ReadWholeFile("stderr.txt");
  EXPECT_EQ(sql("a.sqlite", ""), 0x50594C58);  // "PYLX"
}

// An InfluxDB that takes the request and answers a byte every 20 s: the
// sync ends at the request's deadline, or at once on SIGINT or SIGTERM.
TEST_F(ArchiveCli, StalledInfluxEndsAtTheDeadlineOrTheSignal) {
  StartMeter();
  const struct { int signal, status; const char* err; } cases[] = {
      {0, 10, "STEM -> URL: InfluxDB at 127.0.0.1:PORT gave no whole answer within 10 s; nothing of this sync counts "
              "as archived there"},
      {SIGINT, 12, "pylaxctl: stopped by SIGINT"},
      {SIGTERM, 12, "pylaxctl: stopped by SIGTERM"}};
  for (const auto& c : cases) {
    const int port = FreePort(), server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) | listen(server, 4), 0);
    const std::string url = "influx://127.0.0.1:" + std::to_string(port) + "/pylax";
    const pid_t pid = StartPylaxctl({"--port", sim_->LinkPath(), "--slave", "3", "log", "sync", "--archive", url});
    pollfd polled{server, POLLIN, 0};
    ASSERT_EQ(poll(&polled, 1, 60000), 1);
    const int client = accept(server, nullptr, nullptr);
    char request[4096];
    ASSERT_GT(recv(client, request, sizeof request, 0), 0);
    std::thread stall([client] {  // until the client goes
      pollfd gone{client, POLLIN, 0};
      for (int byte = 0; byte < 10 && send(client, "H", 1, MSG_NOSIGNAL) == 1 && poll(&gone, 1, 20000) == 0; ++byte) {}
    });
    if (c.signal != 0) kill(pid, c.signal);
    EXPECT_EQ(Finish(pid), c.status);
    stall.join();
    close(client);
    close(server);
    const std::string err =
        Replaced(Replaced(Replaced(c.err, "STEM", MeterId(SyncedMeter())), "URL", url), "PORT", std::to_string(port));
    EXPECT_EQ(SplitLines(ReadWholeFile("stderr.txt")), std::vector<std::string>{err});
  }
}
