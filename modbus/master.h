#pragma once
// The three blocking master transactions, the trace ring and the one lock.

#include <cstddef>
#include <mutex>

#include "modbus/result.h"

constexpr int kTraceEntries = 12;
constexpr int kTraceEntryChars = 1024;
extern char g_traceRing[kTraceEntries][kTraceEntryChars];
extern int g_traceIndex;   // the newest entry; the first transaction writes entry 1
extern int g_traceLive;    // 1 while the trace window is shown and not frozen

// The ring read in time order: k = 0 the oldest entry (the one after the
// newest), kTraceEntries - 1 the newest (g_traceIndex). An entry never
// written is empty.
const char* TraceEntryOldestFirst(int k);

// Asked (when g_traceLive is 1) after each transaction has written its
// response line, so the trace window can schedule a repaint. Null when no
// window listens.
extern void (*g_traceRepaintRequest)();

// Held by every transaction from start to end; re-entrant on its own thread.
extern std::recursive_mutex g_modbusLock;
// The console sets the lock up during start-up; the lock object itself lives
// from load to exit, so this only records that the step happened.
void InitModbusLock();
bool ModbusLockInitialized();

// Largest counts and sizes. A read may ask for up to 509 registers, so its
// response buffer holds 2 * 509 + 25 bytes and no read can overrun it.
constexpr int kMaxReadCount = 509;
constexpr int kReadResponseBufferSize = 2 * kMaxReadCount + 25;
constexpr int kWriteResponseBufferSize = 300;
constexpr int kReportSlaveIdResponseBufferSize = 100;
constexpr int kSlaveIdTextSize = 94;  // 93 characters and the terminator

// How many transactions have ended with each result since the process began,
// bad parameters included: the monitor publishes them per meter.
extern unsigned long g_transactionsByResult[kResultCount];

// slave 0..255; count 1..509; firstAddress >= 0; firstAddress + count <= 65535.
ModbusResult ReadHoldingRegisters(int port, int slave, int firstAddress, int count, int* values);
// slave 0..255; address 0..1023; value 0..65535.
ModbusResult WriteSingleRegister(int port, int slave, int address, int value);
// slave 0..255; text must hold kSlaveIdTextSize characters.
ModbusResult ReportSlaveId(int port, int slave, int* slaveId, char* text);
