#include "monitor/log_window.h"

#include "meter/register_map.h"

namespace {

int Word(const uint8_t* pdu, int at) { return pdu[at] << 8 | pdu[at + 1]; }

// The writes that change what the window shows or what the log holds.
bool IsLogRegister(int address) {
  return address == reg::kCommand || address == reg::kSubInterval || address == reg::kSlotSelector ||
         address == reg::kLogControl || (address >= reg::kLogSlots && address < reg::kLogSlots + reg::kSlotCount);
}

// A read reaching the window, or a write of a log register.
bool TouchesWindow(const uint8_t* pdu, int length) {
  if (length < 5) return false;
  if (pdu[0] == 3) return Word(pdu, 1) + Word(pdu, 3) > reg::kLogWindow;
  return pdu[0] == 6 && IsLogRegister(Word(pdu, 1));
}

}  // namespace

LogWindow::Holder* LogWindow::HolderOf(int unit, Clock::time_point now) {
  const auto found = held_.find(unit);
  if (found == held_.end()) return nullptr;
  if (found->second.client != kMonitor && now - found->second.lastHeard > kClientSilence) {
    held_.erase(found);
    return nullptr;
  }
  return &found->second;
}

bool LogWindow::Admits(int client, int unit, const uint8_t* pdu, int length, Clock::time_point now) {
  std::lock_guard<std::mutex> hold(mutex_);
  Holder* holder = HolderOf(unit, now);
  if (holder == nullptr) return true;
  if (holder->client != client) return holder->between || !TouchesWindow(pdu, length);
  // After its 0 only its next selection keeps the monitor waiting: a client
  // that goes on polling the meter must not keep its log unsynced for ever.
  if (!holder->between || TouchesWindow(pdu, length)) holder->lastHeard = now;
  return true;
}

void LogWindow::Answered(int client, int unit, const uint8_t* pdu, int length, Clock::time_point now) {
  if (length < 5 || pdu[0] != 6 || Word(pdu, 1) != reg::kSlotSelector) return;
  std::lock_guard<std::mutex> hold(mutex_);
  if (Word(pdu, 3) != 0)
    held_[unit] = {client, now, false};
  else if (Holder* holder = HolderOf(unit, now); holder != nullptr && holder->client == client)
    *holder = {client, now, true};
}

void LogWindow::Closed(int client) {
  std::lock_guard<std::mutex> hold(mutex_);
  std::erase_if(held_, [&](const auto& entry) { return entry.second.client == client; });
}

bool LogWindow::TakeForMonitor(int unit, Clock::time_point now) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (HolderOf(unit, now) != nullptr) return false;
  held_[unit] = {kMonitor, now, false};
  return true;
}

void LogWindow::ReleaseForMonitor(int unit) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (const auto found = held_.find(unit); found != held_.end() && found->second.client == kMonitor) held_.erase(found);
}

MonitorWindowHold::MonitorWindowHold(LogWindow* window, ModbusLink& link, int unit) : window_(window), unit_(unit) {
  if (window_ == nullptr) return;
  const std::unique_lock<TurnLock> turn = link.WaitForTurn();
  held_ = window_->TakeForMonitor(unit_, LogWindow::Clock::now());
}

MonitorWindowHold::~MonitorWindowHold() {
  if (window_ != nullptr && held_) window_->ReleaseForMonitor(unit_);
}
