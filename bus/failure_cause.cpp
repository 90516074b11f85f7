#include "bus/failure_cause.h"

FailureCause::FailureCause(const ModbusLink& link)
    : timeouts_(link.TransactionsWith(ResultTimeout)), exceptions_(link.TransactionsWith(ResultException)) {}

std::string FailureCause::Text(const ModbusLink& link) const {
  // A lost port fails every transaction as a timeout: it is the cause, not the meter.
  if (!link.IsOpen()) return "the port is not open";
  if (link.DeviceGone()) {
    const std::string gone = link.GoneText();
    return gone.empty() ? "the port was lost" : "the port was lost: " + gone;
  }
  const bool refused = link.TransactionsWith(ResultException) > exceptions_;
  const bool silent = link.TransactionsWith(ResultTimeout) > timeouts_;
  // Where both happened (a busy meter waited for, then silent), the last
  // transaction's ending is the cause.
  if (refused && (link.LastExceptionCode() != 0 || !silent)) return "the meter refused a request (exception response)";
  if (silent) return "the meter did not answer";
  return std::string();
}

std::string FailureCause::Said(const ModbusLink& link, const std::string& message) const {
  const std::string cause = Text(link);
  if (cause.empty() || message.empty() || message.back() != '.') return message;
  return message.substr(0, message.size() - 1) + ": " + cause + ".";
}
