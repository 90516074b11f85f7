// The monitor's publishers in this process: what /metrics and Home Assistant
// discovery make of every reading, the bus's id, and a publish that fails.

#include <nlohmann/json.hpp>

#include "archive/sync.h"
#include "monitor/log_keeper.h"
#include "monitor/meter_id.h"
#include "monitor/mqtt_publisher.h"
#include "monitor/prometheus.h"
#include "modbus/model.h"
#include "tests/monitor/monitor_support.h"

namespace {
using nlohmann::json;

// A poll that read the whole reading block (or a QM4A's two pairs).
PollFields Readings(const std::vector<float>& pairs) {
  PollFields fields;
  std::copy(pairs.begin(), pairs.end(), fields.pairs.begin());
  fields.pairsRead = static_cast<int>(pairs.size());
  return fields;
}

MeterState Polled(PollFields fields) {
  MeterState state;
  state.fields = std::move(fields);
  return state;
}

// Every sample line of the exposition that is a reading (not pylax_up or
// the poll's own counters).
std::vector<std::string> ReadingLines(const std::string& exposition) {
  std::vector<std::string> lines;
  for (const std::string& line : SplitLines(exposition))
    if (line[0] != '#' && line.rfind("pylax_up", 0) != 0 && line.rfind("pylax_poll", 0) != 0) lines.push_back(line);
  return lines;
}
}  // namespace

// Every row of the quantity table, each reading a distinct value, so that a
// swapped phase, a lost factor or a total filed among its phases shows; the
// values as the meter's float gave them, scaled in decimal.
TEST(MonitorTables, PrometheusServesEachReadingInItsFamilyWithItsPhaseAndScale) {
#define M "meter=\"hall-a_3\",model=\"QM4C\""
  const std::pair<float, const char*> rows[] = {
      {1234.5f, "pylax_energy_joules_total{" M "} 4444200000"},
      {101.25f, "pylax_power_watts{" M "} 101250"},
      {102.5f, "pylax_reactive_power_volt_amperes_reactive{" M "} 102500"},
      {103.75f, "pylax_apparent_power_volt_amperes{" M "} 103750"},
      {0.5f, "pylax_power_factor_ratio{" M "} 0.5"},
      {401.f, "pylax_line_voltage_average_volts{" M "} 401"},
      {231.f, "pylax_phase_voltage_average_volts{" M "} 231"},
      {11.f, "pylax_current_average_amperes{" M "} 11"},
      {1.005f, "pylax_phase_power_watts{" M ",phase=\"A\"} 1005"},
      {2.3f, "pylax_phase_power_watts{" M ",phase=\"B\"} 2300"},
      {3.5f, "pylax_phase_power_watts{" M ",phase=\"C\"} 3500"},
      {0.61f, "pylax_phase_power_factor_ratio{" M ",phase=\"A\"} 0.61"},
      {0.62f, "pylax_phase_power_factor_ratio{" M ",phase=\"B\"} 0.62"},
      {0.63f, "pylax_phase_power_factor_ratio{" M ",phase=\"C\"} 0.63"},
      {402.f, "pylax_line_voltage_volts{" M ",phase=\"AB\"} 402"},
      {403.f, "pylax_line_voltage_volts{" M ",phase=\"BC\"} 403"},
      {404.f, "pylax_line_voltage_volts{" M ",phase=\"AC\"} 404"},
      {232.f, "pylax_phase_voltage_volts{" M ",phase=\"A\"} 232"},
      {233.f, "pylax_phase_voltage_volts{" M ",phase=\"B\"} 233"},
      {234.f, "pylax_phase_voltage_volts{" M ",phase=\"C\"} 234"},
      {12.f, "pylax_current_amperes{" M ",phase=\"A\"} 12"},
      {13.f, "pylax_current_amperes{" M ",phase=\"B\"} 13"},
      {14.f, "pylax_current_amperes{" M ",phase=\"C\"} 14"},
      {99.f, nullptr},  // the reading block's last pair has no label
  };
#undef M
  // QM4A meters (energy and power) for the edges of the decimal text.
  const struct {
    float kwh, kw;
    const char* joules;
    const char* watts;
  } edges[] = {
      {0.1f, 1.25e-05f, "360000", "0.0125"},
      {1e+06f, -123456.79f, "3600000000000", "-123456790"},
      {1e-10f, 3e-12f, "0.00036", "3e-9"},
      {3.4028235e+38f, 0.f, "1.22501646e45", "0"},
      {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::infinity(), "NaN", "-Inf"},
  };
  BusTally tally;
  PrometheusExporter exporter(tally);
  std::vector<float> pairs;
  for (const auto& row : rows) pairs.push_back(row.first);
  const Meter meter{3, ModelQM4C, "Orvant QM4C Power Meter", "hall-a"};
  exporter.MeterFound(meter);
  exporter.State(meter, Polled(Readings(pairs)));
  std::vector<std::string> expected;
  for (const auto& row : rows)
    if (row.second != nullptr) expected.push_back(row.second);
  for (size_t i = 0; i < std::size(edges); ++i) {
    const Meter edge{static_cast<int>(i), ModelQM4A, "Orvant QM4A Power Meter", "e"};
    exporter.MeterFound(edge);
    exporter.State(edge, Polled(Readings({edges[i].kwh, edges[i].kw})));
    const std::string labels = "{meter=\"" + MeterId(edge) + "\",model=\"QM4A\"} ";
    expected.push_back("pylax_energy_joules_total" + labels + edges[i].joules);
    expected.push_back("pylax_power_watts" + labels + edges[i].watts);
  }
  std::vector<std::string> served = ReadingLines(exporter.Render());
  std::sort(served.begin(), served.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(served, expected);
}

// Every row of the Home Assistant sensor table, and the device block the
// sensors share.
TEST(MonitorTables, HomeAssistantGetsEachReadingWithItsClassUnitAndTemplate) {
  const struct {
    const char* key;
    const char* objectId;
    const char* deviceClass;
    const char* unit;  // nullptr: none
    const char* stateClass;
    const char* scale;  // "": none
  } rows[] = {
      {"KWH", "kwh", "energy", "kWh", "total_increasing", ""},
      {"KW", "kw", "power", "kW", "measurement", ""},
      {"KVAR", "kvar", "reactive_power", "var", "measurement", " * 1000"},
      {"KVA", "kva", "apparent_power", "VA", "measurement", " * 1000"},
      {"PF", "pf", "power_factor", nullptr, "measurement", ""},
      {"VLL", "vll", "voltage", "V", "measurement", ""},
      {"VLN", "vln", "voltage", "V", "measurement", ""},
      {"AMPS-AVG", "amps_avg", "current", "A", "measurement", ""},
      {"KW-A", "kw_a", "power", "kW", "measurement", ""},
      {"KW-B", "kw_b", "power", "kW", "measurement", ""},
      {"KW-C", "kw_c", "power", "kW", "measurement", ""},
      {"PF-A", "pf_a", "power_factor", nullptr, "measurement", ""},
      {"PF-B", "pf_b", "power_factor", nullptr, "measurement", ""},
      {"PF-C", "pf_c", "power_factor", nullptr, "measurement", ""},
      {"V-AB", "v_ab", "voltage", "V", "measurement", ""},
      {"V-BC", "v_bc", "voltage", "V", "measurement", ""},
      {"V-AC", "v_ac", "voltage", "V", "measurement", ""},
      {"V-AN", "v_an", "voltage", "V", "measurement", ""},
      {"V-BN", "v_bn", "voltage", "V", "measurement", ""},
      {"V-CN", "v_cn", "voltage", "V", "measurement", ""},
      {"AMPS-A", "amps_a", "current", "A", "measurement", ""},
      {"AMPS-B", "amps_b", "current", "A", "measurement", ""},
      {"AMPS-C", "amps_c", "current", "A", "measurement", ""},
  };
  MqttSettings settings;
  settings.discoveryPrefix = "ha";
  std::vector<std::string> keys{"HZ"};  // no sensor for a reading the table lacks
  for (const auto& row : rows) keys.push_back(row.key);
  const std::vector<DiscoveryMessage> messages =
      DiscoveryMessages(settings, {3, ModelQM4C, "Orvant QM4C Power Meter", "hall-a"}, keys);
  ASSERT_EQ(messages.size(), std::size(rows));
  for (size_t i = 0; i < std::size(rows); ++i) {
    const auto& row = rows[i];
    const json config = json::parse(messages[i].payload);
    const std::string value = std::string("value_json['") + row.key + "']";
    EXPECT_EQ(messages[i].topic, std::string("ha/sensor/hall-a_3/") + row.objectId + "/config");
    EXPECT_EQ(config["unique_id"], std::string("pylax_hall-a_3_") + row.objectId);
    EXPECT_EQ(config["name"], row.key);
    EXPECT_EQ(config["device_class"], row.deviceClass) << row.key;
    EXPECT_EQ(config.value("unit_of_measurement", json()), row.unit ? json(row.unit) : json()) << row.key;
    EXPECT_EQ(config["state_class"], row.stateClass) << row.key;
    EXPECT_EQ(config["value_template"], "{{ " + value + row.scale + " if " + value + " is number else None }}");
    EXPECT_EQ(config["state_topic"], "pylax/hall-a_3/state");
    EXPECT_EQ(config["availability"], json::parse(R"([{"topic":"pylax/hall-a_3/availability"},
                                                      {"topic":"pylax/hall-a/availability"}])"));
    EXPECT_EQ(config["device"], json::parse(R"({"identifiers":["pylax_hall-a_3"],"manufacturer":"Orvant",
        "model":"QM4C","name":"Orvant QM4C Power Meter at 3 on hall-a","hw_version":"Orvant QM4C Power Meter"})"));
  }
}

// The id comes from the name as given (a by-id path whose adapter is not
// plugged in gives the same id), with the host where every machine has the
// same name.
TEST(MonitorIds, BusIdIsThePortsOwnNameWithTheHostWhereEveryMachineHasIt) {
  const std::pair<const char*, const char*> cases[] = {
      {"/dev/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0", "usb-FTDI_FT232R_A50285BI-if00-port0"},
      {"/dev/ttyS0", "hall-a_ttyS0"},
      {"/dev/ttyAMA0", "hall-a_ttyAMA0"},
      {"/dev/ttyUSB1", "hall-a_ttyUSB1"},
      {"COM4:", "hall-a_COM4"},
      {"COM1", "hall-a_COM1"},
      {"tcp://127.0.0.1:5020", "hall-a_tcp___127_0_0_1_5020"},
      {"mbtcp://[::1]:502", "hall-a_mbtcp______1__502"},
      {"tcp://localhost:4001", "hall-a_tcp___localhost_4001"},
      {"tcp://10.0.0.5:502", "tcp___10_0_0_5_502"},
      {"mbtcp://gw-hall-b.site:502", "mbtcp___gw-hall-b_site_502"},
      {"/dev/pylax-no/such port", "pylax-no_such_port"},
      {"/srv/bus", "_srv_bus"},
  };
  for (const auto& [port, id] : cases) EXPECT_EQ(BusId(port, "hall-a.example.net"), id) << port;
  EXPECT_EQ(MeterId(Meter{17, ModelNone, "", "hall-a_COM4"}), "hall-a_COM4_17");
}

// A publish that fails (here: a discovery prefix that only a config file of
// this process could give) is said, once for its cause however often it
// fails; the rest goes on.
TEST(MonitorPublishing, SaysAPublishThatFailsOncePerCause) {
  TempCurrentDirectory cwd;
  const int port = FreePort();
  Broker broker(port);
  Subscriber subscriber(port);
  MqttSettings settings;
  settings.url = "mqtt://127.0.0.1:" + std::to_string(port);
  settings.user = "pylax";
  settings.password = "s3cret";
  settings.discoveryPrefix = "ha+x";
  const Meter meter{7, ModelQM4A, "Orvant QM4A Power Meter", "hall-a"};
  fflush(stderr);
  const int savedStderr = dup(2);
  const int said = open("said.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(said, 2);
  {
    MqttPublisher publisher(settings, "hall-a");
    std::string error;
    EXPECT_TRUE(publisher.Start(&error)) << error;
    EXPECT_TRUE(subscriber.WaitFor("pylax/hall-a/availability", "online"));
    for (int round = 0; round < 3; ++round) {
      publisher.MeterFound(meter);  // announced anew each time
      publisher.State(meter, Polled(Readings({1.5f, 2.5f})));
    }
    EXPECT_TRUE(subscriber.WaitFor("pylax/hall-a_7/state", StateJson(meter, Polled(Readings({1.5f, 2.5f})))));
    publisher.Stopping();
  }
  fflush(stderr);
  dup2(savedStderr, 2);
  close(savedStderr);
  close(said);
  EXPECT_EQ(ReadWholeFile("said.txt"),
            "pylaxctl: MQTT broker 127.0.0.1:" + std::to_string(port) + " connected\n"
            "pylaxctl: MQTT: cannot publish to ha+x/sensor/hall-a_7/kwh/config: Invalid function arguments provided. "
            "(said once; what fails for the same reason is dropped without a word)\n");
}

// How far the log is kept off the meter after a sync: the newest entry
// every archive holds (none while one holds nothing); and what /metrics
// says of each archive over three syncs, the second failing in InfluxDB.
TEST(MonitorArchive, SaysTheNewestEntryEveryArchiveHoldsAndEachArchivesFigures) {
  const auto result = [](std::vector<std::pair<bool, time_t>> archives, long added = 0) {
    SyncResult r;
    r.meterRead = true;
    for (const auto& [ok, newest] : archives) {
      ArchiveSyncReport report;
      report.url = r.archives.empty() ? "sqlite:a.sqlite" : "influx://db:8086/pylax";
      report.ok = ok;
      report.outcome.runLast = newest;
      report.outcome.added = ok ? added : 0;
      r.archives.push_back(report);
    }
    return r;
  };
  const struct {
    std::vector<std::pair<bool, time_t>> archives;
    time_t upTo;
  } cases[] = {
      {{{true, 1796665454}}, 1796665454},
      {{{true, 1796665454}, {true, 1796665454}}, 1796665454},
      {{{true, 1796665454}, {false, 1796665394}}, 1796665394},  // the one behind decides
      {{{true, 1796665394}, {true, 1796665454}}, 1796665394},
      {{{true, 1796665454}, {false, 0}}, 0},                   // one holds nothing of the meter
      {{}, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(LogKeeper::ArchivedUpTo(result(c.archives)), c.upTo) << c.archives.size();

  BusTally tally;
  PrometheusExporter exporter(tally);
  const Meter meter{3, ModelQM4C, "Orvant QM4C Power Meter", "hall-a"};
  exporter.MeterFound(meter);
  exporter.Synced(meter, result({{true, 1796665394}, {true, 1796665394}}, 50));
  exporter.Synced(meter, result({{true, 1796665454}, {false, 1796665394}}, 1));
  exporter.Synced(meter, result({{true, 1796665454}, {true, 1796665454}}, 0));
  const std::string text = exporter.Render();
#define A(url) "{meter=\"hall-a_3\",model=\"QM4C\",archive=\"" url "\"} "
  for (const char* line : {"pylax_archive_newest_entry_timestamp_seconds" A("sqlite:a.sqlite") "1796665454",
                           "pylax_archive_newest_entry_timestamp_seconds" A("influx://db:8086/pylax") "1796665454",
                           "pylax_archive_entries_total" A("sqlite:a.sqlite") "51",
                           "pylax_archive_entries_total" A("influx://db:8086/pylax") "50",
                           "pylax_archive_sync_failures_total" A("sqlite:a.sqlite") "0",
                           "pylax_archive_sync_failures_total" A("influx://db:8086/pylax") "1"})
    EXPECT_NE(text.find(std::string("\n") + line + "\n"), std::string::npos) << line << "\n" << text;
#undef A
}
