#pragma once
// pylaxctl's command line: global options, the command and its options.

#include <string>
#include <vector>

#include "modbus/link_settings.h"
#include "modbus/port_map.h"
#include "monitor/monitor_options.h"

// Exit statuses of pylaxctl; scripts can tell the failures apart.
enum class ExitCode : int {
  Success = 0,
  TransactionFailed = 1,  // the meter did not answer or refused a request
  Usage = 2,              // the command line is wrong
  PortUnavailable = 3,    // the serial port could not be opened, or its device went away
  NoMeter = 4,            // no meter answered the scan or at --slave
  WrongModel = 5,         // the command needs a model the meter is not
  LoggingNotStarted = 6,  // log start refused a value or a write failed
  DownloadFailed = 7,     // log download did not write its file
  SimulatorFailed = 8,    // --simulate could not start qm4sim
  MonitorFailed = 9,      // monitor: /metrics cannot listen, or MQTT cannot start
  ArchiveFailed = 10,     // log sync: an archive did not take its entries; archive: it cannot be read
  NothingArchived = 11,   // archive list/export: no meter, run or entry that fits
  Stopped = 12,           // SIGINT or SIGTERM ended the command before its work was done
  GatewayRefused = 13,    // a Modbus TCP gateway refused a write: it serves reads only
};

enum class Command { Scan, Read, ResetEnergy, SetClock, LogShow, LogStart, LogDownload, LogSync, Monitor, ArchiveList, ArchiveExport };

// log sync and archive list|export.
struct ArchiveOptions {
  std::vector<std::string> urls;  // empty: the default archive
  std::string influxUser;         // else PYLAX_INFLUX_USER
  std::string influxPasswordFile; // else the influx-password credential, else PYLAX_INFLUX_PASSWORD
  std::string influxPassword;     // as read from one of those
  std::string influxCaFile;
  std::string meter;              // export: the meter id
  std::string from;               // export: the span, as ParseArchiveTime takes it
  std::string to;
  int run = 0;                    // export: 0 the newest run in the span
  std::string output;             // export: empty "NN-data.csv", "-" stdout
};

struct Options {
  // Global.
  std::string port = "COM1:";
  int baud = 38400;
  int slave = -1;  // -1: scan 1..10 and take the first meter found
  bool simulate = false;
  bool trace = false;
  std::string framing;  // as given; empty: PYLAX_FRAMING, else silence (ChooseFraming)
  LinkSettings link;         // the framing it chose, --echo, --rs485
  PortMap ports;             // the COMn=PATH of --port
  std::string rs485Delays;   // as given; empty: none
  std::string busId;    // empty: BusId of the port and this machine's name
  // The command and its own options.
  Command command = Command::Scan;
  unsigned scanStart = 1;
  unsigned scanEnd = 10;
  bool json = false;
  bool watch = false;
  long count = 0;  // --watch polls; 0 until interrupted
  std::vector<unsigned> slots;
  long interval = -1;  // -1: not given
  bool oneShot = false;
  MonitorOptions monitor;
  ArchiveOptions archive;
};

// What parsing decided: run the command, or stop with text already printed
// (help, version) or with a usage error.
struct ParseOutcome {
  bool run = false;
  ExitCode exit = ExitCode::Success;
};

// Parses argv[1..]; prints help, the version or a one-line usage error itself.
// Chooses the link's framing (--framing, else PYLAX_FRAMING, else silence,
// or length for monitor); a bad value of either is a usage error. Fills the
// MQTT password of monitor from --mqtt-password-file, the systemd credential
// mqtt-password or PYLAX_MQTT_PASSWORD (or a config file's mqtt-password);
// given on the command line it is a usage error that does not repeat it.
// The InfluxDB password likewise (influx-password, PYLAX_INFLUX_PASSWORD),
// the page's from its file or the http-password credential. A secret's file
// gives its first line without its LF or CR LF; one above 4 KB is a usage
// error.
// A --config file is read strictly: an unknown name, a line that is no
// name = value, an unclosed quote is a usage error naming FILE:LINE.
ParseOutcome ParseCommandLine(const std::vector<std::string>& args, Options& options);
