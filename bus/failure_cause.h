#pragma once
// Why a series of transactions (a download, a logging start) failed, as far
// as the link can tell: its port lost, the meter silent, or a request
// refused. Taken from the link's tally of results since the series began,
// so the series itself need not carry its results up.

#include <string>

#include "modbus/link.h"

class FailureCause {
 public:
  // Notes the link's tally at the start of the series.
  explicit FailureCause(const ModbusLink& link);
  // "the port is not open", "the port was lost: /dev/ttyUSB0 has gone away
  // ...", "the meter did not answer", "the meter refused a request
  // (exception response)"; empty when
  // none of these happened since the start.
  std::string Text(const ModbusLink& link) const;
  // message, with Text after a colon in place of its full stop when there
  // is one: "Error while reading data: the meter did not answer."
  std::string Said(const ModbusLink& link, const std::string& message) const;

 private:
  unsigned long timeouts_;
  unsigned long exceptions_;
};
