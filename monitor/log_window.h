#pragma once
// Who holds each meter's log window. The window (7999 and up) shows the slot
// selected at 157, which the meter keeps across transactions: a master that
// reads it under another master's selection gets the other's slot, and
// nothing in the answer says so. So one master at a time holds a meter's
// window: a gateway client from its write of a slot to 157 until its write
// of 0, its connection's end or kClientSilence without a request to that
// meter; the monitor for the whole of its sync, clock setting or action.
// While one holds it, the others' writes of the log registers and reads of
// the window are answered "busy" (exception 06) and never reach the line.
// A download selects each slot in turn: after a client's 0 other clients
// may take the window at once, but the monitor waits kClientSilence for
// that client's next selection, so that neither a sync nor a clock step
// comes between two of its slots.
//
// The gateway asks Admits under the link's turn, relays, and tells Answered
// before it lets the turn go; the monitor takes its hold under the turn too,
// so no request slips between a check and the line.

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>

#include "modbus/link.h"

class LogWindow {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kClientSilence{5};
  // The holder id of the monitor itself; gateway clients are 1 and up.
  static constexpr int kMonitor = 0;

  // Whether client's request (a PDU of length bytes to unit) may go on the
  // line now; false: it is to be answered busy.
  bool Admits(int client, int unit, const uint8_t* pdu, int length, Clock::time_point now);
  // The meter answered client's request without an exception: a write of a
  // slot to 157 takes the window, a write of 0 lets it go.
  void Answered(int client, int unit, const uint8_t* pdu, int length, Clock::time_point now);
  // client's connection ended: every window it held is free.
  void Closed(int client);
  // The monitor's hold on unit's window; false while a client holds it.
  bool TakeForMonitor(int unit, Clock::time_point now);
  void ReleaseForMonitor(int unit);

 private:
  struct Holder {
    int client;
    Clock::time_point lastHeard;
    bool between = false;  // the client selected 0: free to other clients
  };
  // unit's holder, if any, once a client's silence has let it go.
  Holder* HolderOf(int unit, Clock::time_point now);

  std::mutex mutex_;
  std::map<int, Holder> held_;  // by meter address
};

// The monitor's hold on a meter's window for one sync, clock setting or
// action, let go when it ends. Without a window (no gateway) there is no
// other master to keep out, and it always holds.
class MonitorWindowHold {
 public:
  MonitorWindowHold(LogWindow* window, ModbusLink& link, int unit);
  ~MonitorWindowHold();
  MonitorWindowHold(const MonitorWindowHold&) = delete;
  MonitorWindowHold& operator=(const MonitorWindowHold&) = delete;
  bool Held() const { return held_; }

 private:
  LogWindow* window_;
  int unit_;
  bool held_ = true;
};
