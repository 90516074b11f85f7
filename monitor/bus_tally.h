#pragma once
// The bus's counters, kept once by the monitor as it polls and read by the
// publishers that show them (/metrics, the page) from their own threads.

#include <array>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "modbus/result.h"
#include "monitor/actions.h"
#include "monitor/modbus_gateway.h"

struct BusCounts {
  using ByResult = std::array<unsigned long, kResultCount>;
  unsigned long rounds = 0;
  unsigned long overruns = 0;  // rounds that took longer than the interval
  double lastRoundSeconds = 0;
  std::map<std::string, ByResult> transactions;  // by meter id, every meter ever polled
  std::optional<GatewayStats> gateway;           // with --gateway: as the last round left it
  std::optional<CommandCounts> commands;         // with actions (MQTT, the page): as the last round left them

  // The meter's transactions (none for a meter not polled yet), and every
  // meter's together.
  ByResult TransactionsOf(const std::string& meterId) const;
  ByResult AllTransactions() const;
};

class BusTally {
 public:
  // A poll's transactions by result (PollState::byResult).
  void AddPoll(const std::string& meterId, const unsigned long (&byResult)[kResultCount]);
  void AddRound(double seconds, bool overrun);
  void SetGateway(const GatewayStats& stats);
  void SetCommands(const CommandCounts& counts);
  BusCounts Read() const;

 private:
  mutable std::mutex mutex_;
  BusCounts counts_;
};
