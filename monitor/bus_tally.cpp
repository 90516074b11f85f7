#include "monitor/bus_tally.h"

BusCounts::ByResult BusCounts::TransactionsOf(const std::string& meterId) const {
  const auto meter = transactions.find(meterId);
  return meter == transactions.end() ? ByResult{} : meter->second;
}

BusCounts::ByResult BusCounts::AllTransactions() const {
  ByResult all{};
  for (const auto& [id, byResult] : transactions)
    for (size_t result = 0; result < all.size(); ++result) all[result] += byResult[result];
  return all;
}

void BusTally::AddPoll(const std::string& meterId, const unsigned long (&byResult)[kResultCount]) {
  std::lock_guard<std::mutex> hold(mutex_);
  BusCounts::ByResult& tally = counts_.transactions[meterId];
  for (size_t result = 0; result < tally.size(); ++result) tally[result] += byResult[result];
}

void BusTally::AddRound(double seconds, bool overrun) {
  std::lock_guard<std::mutex> hold(mutex_);
  ++counts_.rounds;
  counts_.overruns += overrun ? 1 : 0;
  counts_.lastRoundSeconds = seconds;
}

void BusTally::SetGateway(const GatewayStats& stats) {
  std::lock_guard<std::mutex> hold(mutex_);
  counts_.gateway = stats;
}

void BusTally::SetCommands(const CommandCounts& counts) {
  std::lock_guard<std::mutex> hold(mutex_);
  counts_.commands = counts;
}

BusCounts BusTally::Read() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return counts_;
}
