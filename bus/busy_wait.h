#pragma once
// Waiting for a meter that answers busy (exception 06), as the monitor's
// gateway answers another client's log window reads and log register writes
// while one master holds a meter's window. A busy answer is no fault of the
// line: it is waited out, never repeated as a spoiled answer is.

#include <functional>
#include <string>

#include "bus/status_log.h"
#include "modbus/link.h"

// The exception code a meter, or the gateway before it, answers when it is
// busy with another master (the meter's log window held by another client).
constexpr int kExceptionCodeBusy = 6;

// How a piece of work on the line came out.
enum class Attempt { Done, Failed, Busy };

// Done when ok, else Busy when link's last transaction was answered busy,
// else Failed. Asked in the turn the transaction was made in.
Attempt AttemptOutcome(const ModbusLink& link, bool ok);

// The pause after the tries-th busy answer in a row: 0.5 s, doubling, at
// most 5 s.
int BusyBackoffMs(int tries);

// "meter 03's log is being read by another master; waiting"
std::string BusyWaitText(int slave);
// "meter 03's log was still being read by another master after 60 s; giving up"
std::string BusyGaveUpText(int slave, int waitedMs);

// Runs attempt holding link's turn, so that no other master's request on
// this link lands within it. While it comes out Busy, the turn is let go,
// the wait said once (BusyWaitText), and it is tried again after
// BusyBackoffMs, for at most the link's busyWaitMs in all; then the giving
// up is said (BusyGaveUpText, through GaveUpWaiting) and false returned. log's safe point is
// visited while waiting, and a stop asked through it ends the wait. True
// when attempt came out Done.
bool WaitWhileBusy(ModbusLink& link, int slave, StatusLog& log, const std::function<Attempt()>& attempt);
