#pragma once
// The three transactions, the trace ring and the lock as the windows name
// them: those of the process's one default link (modbus/link.h). The port
// argument of each transaction is not looked at: the link knows its port.

#include <mutex>

#include "modbus/link.h"

// The default link itself, for callers that take a link.
ModbusLink& DefaultLink();

extern char (&g_traceRing)[kTraceEntries][kTraceEntryChars];
extern int& g_traceIndex;                   // TraceRing::newest
extern int& g_traceLive;                    // TraceRing::live
extern void (*&g_traceRepaintRequest)();    // TraceRing::repaintRequest

// TraceRing::OldestFirst of the default link.
const char* TraceEntryOldestFirst(int k);

// The console sets the lock up during start-up; the lock object itself lives
// from load to exit, so this only records that the step happened.
void InitModbusLock();
bool ModbusLockInitialized();

// ModbusLink::TransactionsWith of the default link, by result.
extern const unsigned long (&g_transactionsByResult)[kResultCount];

ModbusResult ReadHoldingRegisters(int port, int slave, int firstAddress, int count, int* values);
ModbusResult WriteSingleRegister(int port, int slave, int address, int value);
ModbusResult ReportSlaveId(int port, int slave, int* slaveId, char* text);
