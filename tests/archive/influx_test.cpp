// The sync into a real InfluxDB (Debian's influxd, started once for this
// test program with its own config in a temporary folder on free loopback
// ports, stopped on every path), read back through its HTTP API.

#include "archive/influx_store.h"
#include "tests/archive/sync_fixture.h"
#include "tests/support/influx_server.h"

namespace {
class InfluxArchive : public ArchiveSync {
 protected:
  // An administrator the tests sync as, and a user who may only read one
  // database.
  static void SetUpTestSuite() {
    server_ = new InfluxServer(INFLUXD_PATH, true);
    ASSERT_TRUE(server_->Start());
    ASSERT_TRUE(server_->Execute("CREATE USER pylax WITH PASSWORD 'admin-secret' WITH ALL PRIVILEGES"));
    server_->UseCredentials("pylax", "admin-secret");
    for (const char* statement : {"CREATE USER reader WITH PASSWORD 'reader-secret'", "CREATE DATABASE sync_readonly",
                                  "GRANT READ ON sync_readonly TO reader"})
      ASSERT_TRUE(server_->Execute(statement)) << statement;
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    ArchiveSync::SetUp();
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    unsetenv("TZ");
    tzset();
    ArchiveSync::TearDown();
  }
  InfluxStore Store(const std::string& database, const std::string& user = "pylax",
                    const std::string& password = "admin-secret") {
    InfluxSettings settings;
    settings.host = "127.0.0.1";
    settings.port = server_->Port();
    settings.database = database;
    settings.user = user;
    settings.password = password;
    return InfluxStore("influx://127.0.0.1:" + std::to_string(settings.port) + "/" + database, settings);
  }
  // The meter's points by field: value, error, raw.
  std::vector<long> Counts(const std::string& database) {
    const auto json = server_->Query(database, "SELECT count(*) FROM pylax_log WHERE meter = 'COM1_3'");
    const auto& series = json["results"][0]["series"][0];
    std::map<std::string, long> count;
    for (size_t i = 1; i < series["columns"].size(); ++i) count[series["columns"][i]] = series["values"][0][i];
    return {count["count_value"], count["count_error"], count["count_raw"]};
  }
  static InfluxServer* server_;
};
InfluxServer* InfluxArchive::server_ = nullptr;

struct PointCase {
  const char* label;
  const char* reg;
  const char* field;
  double expected;
};

// Entry 7 of 20, one minute apart, the newest at 2026-01-15 12:00:00 UTC:
// 7 in every slot (--log-sequence), power and frequency scaled by 10^-2:
// InfluxDB gets 0.07 as the window shows it, not 0.0700000003.
const PointCase kEntrySeven[] = {
    {"KW", "3", "value", 0.07}, {"HZ", "26", "value", 0.07}, {"ERROR", "146", "error", 7}, {"DAY-MONTH", "155", "raw", 7}};
constexpr long kEntrySevenTime = 1768477620;  // 2026-01-15T11:47:00Z
}  // namespace

// The database is made at the first sync; each entry becomes one point per
// logged slot with its instant, tags and field; a later sync adds only what
// was logged since, and an instant logged again after the clock went back
// keeps its archived point, as in SQLite.
TEST_F(InfluxArchive, PointsAreTheMetersEntries) {
  StartMeter();
  for (const char* command : {"set 3 168 3", "set 3 169 26", "set 3 170 146", "set 3 171 155", "set 3 172 0",
                              "set 3 173 0", "set 3 174 0", "set 3 175 0", "set 3 176 0", "set 3 177 0",
                              "clock 3 2026 01 15 12 00 00", "prefill 3 20"})
    Sim(command);
  InfluxStore influx = Store("sync_points");
  SyncResult result = Sync({}, {&influx});
  ASSERT_TRUE(result.AllArchived()) << result.archives[1].error;
  EXPECT_EQ(result.archives[1].outcome.added, 20);
  EXPECT_EQ(Counts("sync_points"), (std::vector<long>{40, 20, 20}));
  const auto json = server_->Query("sync_points", "SELECT * FROM pylax_log WHERE time = " +
                                                      std::to_string(kEntrySevenTime) + "s GROUP BY \"register\"");
  const auto& series = json["results"][0]["series"];
  ASSERT_EQ(series.size(), std::size(kEntrySeven));
  for (const auto& s : series) {
    const std::string reg = s["tags"]["register"];
    const auto c = std::find_if(std::begin(kEntrySeven), std::end(kEntrySeven), [&](const PointCase& p) { return reg == p.reg; });
    ASSERT_NE(c, std::end(kEntrySeven)) << reg;
    std::map<std::string, nlohmann::json> row;
    for (size_t i = 0; i < s["columns"].size(); ++i) row[s["columns"][i]] = s["values"][0][i];
    EXPECT_EQ(row["label"], c->label);
    EXPECT_EQ(row["model"], "QM4C");
    EXPECT_EQ(row[c->field].get<double>(), c->expected) << reg;  // the float's shortest text, 0.07
  }
  Sim("elapse 3 5");
  result = Sync({}, {&influx});
  ASSERT_TRUE(result.AllArchived());
  EXPECT_EQ(result.archives[1].outcome.added, 5);
  Sim("clock 3 2026 01 15 11 50 00");  // entry 26 at the instant of entry 10
  Sim("capture 3");
  result = Sync({}, {&influx});
  ASSERT_TRUE(result.AllArchived());
  EXPECT_EQ(result.archives[1].outcome.added, 0);
  EXPECT_EQ(result.archives[1].outcome.conflicts, 1);
  EXPECT_EQ(result.archives[0].outcome.conflicts, 1);
  EXPECT_EQ(Counts("sync_points"), (std::vector<long>{50, 25, 25}));
  const auto kept = server_->Query("sync_points", "SELECT \"error\" FROM pylax_log WHERE time = 1768477800s");
  EXPECT_EQ(kept["results"][0]["series"][0]["values"][0][1], 10);  // 11:50:00 keeps entry 10
}

// An InfluxDB that is away fails its part of the sync (said, nothing marked
// there) while SQLite takes the entries; once it is back the next sync
// gives it what it missed.
TEST_F(InfluxArchive, AwayThenCatchesUp) {
  StartMeter();
  Sim("prefill 3 20");
  InfluxStore influx = Store("sync_away");
  ASSERT_TRUE(Sync({}, {&influx}).AllArchived());
  server_->Stop();
  Sim("elapse 3 5");
  SyncResult result = Sync({}, {&influx});
  server_->Start();
  EXPECT_TRUE(result.archives[0].ok);
  EXPECT_EQ(result.archives[0].outcome.added, 5);
  EXPECT_FALSE(result.archives[1].ok);
  EXPECT_EQ(SyncReportLines(kMeter, result.archives[1]),
            std::vector<std::string>{"COM1_3 -> " + influx.Url() + ": cannot reach InfluxDB at 127.0.0.1:" +
                                     std::to_string(server_->Port()) +
                                     " (Connection); nothing of this sync counts as archived there"});
  result = Sync({}, {&influx});
  ASSERT_TRUE(result.AllArchived()) << result.archives[1].error;
  EXPECT_EQ(result.archives[0].outcome.added, 0);
  EXPECT_EQ(result.archives[1].outcome.added, 5);
  EXPECT_EQ(result.archives[1].outcome.runEntries, 25);
  EXPECT_EQ(Counts("sync_away"), (std::vector<long>{25 * 9, 0, 0}));  // slots 1 to 9 hold a register with a value
}

namespace {
struct RefusalCase {
  const char* name;
  const char* user;
  const char* password;
  const char* database;
  const char* error;
};

const RefusalCase kRefusals[] = {
    {"NoUser", "", "", "sync_refused", "InfluxDB refused the query: unable to parse authentication credentials"},
    {"WrongPassword", "pylax", "guess", "sync_refused", "InfluxDB refused the query: authorization failed"},
    {"MayNotReadAMissingDatabase", "reader", "reader-secret", "sync_refused",
     "InfluxDB refused the query: error authorizing query: reader not authorized to execute statement 'SELECT * "
     "FROM pylax_log_sync WHERE meter = 'COM1_3' AND identification = 'Orvant QM4C Power Meter' ORDER BY time DESC "
     "LIMIT 1', requires READ on sync_refused"},
    {"MayNotWrite", "reader", "reader-secret", "sync_readonly",
     "InfluxDB refused the write (HTTP 403): \"reader\" user is not authorized to write to database \"sync_readonly\""},
};

void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.name; }

class InfluxRefusals : public InfluxArchive, public ::testing::WithParamInterface<RefusalCase> {};
}  // namespace

// A server that will not take the entries says why in its own words, and
// nothing counts as archived there: SQLite beside it still takes them.
TEST_P(InfluxRefusals, SaysWhyAndArchivesNothingThere) {
  const RefusalCase& c = GetParam();
  StartMeter();
  Sim("prefill 3 20");
  InfluxStore influx = Store(c.database, c.user, c.password);
  const SyncResult result = Sync({}, {&influx});
  EXPECT_EQ(result.archives[0].outcome.added, 20);
  EXPECT_FALSE(result.archives[1].ok);
  EXPECT_EQ(result.archives[1].error, c.error);
  EXPECT_EQ(server_->Query(c.database, "SELECT count(*) FROM pylax_log_sync")["results"][0].count("series"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Archive, InfluxRefusals, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

// Each kind of character line protocol or InfluxQL cannot carry: the cursor
// written with it is found again, the tag as the server keeps it.
TEST_F(InfluxArchive, EveryTextOfTheBusIsWrittenAndFoundAgain) {
  StartMeter();
  Sim("prefill 3 20");
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"QM4C \\", "QM4C " + r},                      {"QM4C a\\,b\\=c\\ d", "QM4C a" + r + ",b" + r + "=c" + r + " d"},
      {"QM4C a,b=c d", "QM4C a,b=c d"},              {"QM4C a\\b", "QM4C a\\b"},
      {"QM4C\nnext line", "QM4C" + r + "next line"}, {"QM4C\r", "QM4C" + r},
      {"QM4C \xb5", "QM4C " + r},                    {"QM4C it's \"q\"", "QM4C it's \"q\""},
  };
  int database = 0;
  for (const auto& [identification, kept] : cases) {
    const std::string name = "sync_text_" + std::to_string(++database);
    InfluxStore influx = Store(name);
    SyncStatusLog log;
    for (const int added : {20, 0}) {
      const SyncResult result = SyncMeterLog(link_, {"COM1_3", 3, "QM4C", identification}, {&influx}, log);
      ASSERT_TRUE(result.AllArchived()) << identification << ": " << result.archives[0].error;
      EXPECT_EQ(result.archives[0].outcome.added, added) << identification;
    }
    const auto tags = server_->Query(name, "SHOW TAG VALUES FROM pylax_log_sync WITH KEY = identification");
    EXPECT_EQ(tags["results"][0]["series"][0]["values"][0][1], kept) << identification;
  }
}
