#include "modbus/master.h"

#include <cstdint>
#include <cstring>

#include "modbus/frame.h"
#include "modbus/mbap.h"
#include "modbus/serial_link.h"

char g_traceRing[kTraceEntries][kTraceEntryChars];
int g_traceIndex = 0;
int g_traceLive = 0;
void (*g_traceRepaintRequest)() = nullptr;
std::recursive_mutex g_modbusLock;
unsigned long g_transactionsByResult[kResultCount] = {};

namespace {

bool g_lockInitialized = false;

// Each transaction owns its request and response buffers; they are reused by
// every call and nothing is allocated per transaction.
uint8_t g_readRequest[kRequestLength];
uint8_t g_readResponse[kReadResponseBufferSize];
uint8_t g_writeRequest[kRequestLength];
uint8_t g_writeResponse[kWriteResponseBufferSize];
uint8_t g_idRequest[kReportSlaveIdRequestLength];
uint8_t g_idResponse[kReportSlaveIdResponseBufferSize];

// Read asks for 20 bytes more than a normal answer and write for 4 more, so
// under the silence framing a response ends by the 35 ms silence after its
// last byte, not by its count.
constexpr int kReadSlack = 25;
constexpr int kWriteAskedFor = 12;
constexpr int kReportSlaveIdAskedFor = 100;

// Steps 4 to 9 of every transaction: trace the request, drain, write, read,
// trace the response, ask for a repaint. The trace shows the bytes as they
// went over the port (under Modbus TCP the MBAP frames); the response is then
// in the RTU form the checks take. Returns the transport result and the
// count of the response (no more than m).
ModbusResult Exchange(int port, const uint8_t* request, int requestLength, uint8_t* response, int m, int* r) {
  g_traceIndex = (g_traceIndex + 1) % kTraceEntries;
  char* entry = g_traceRing[g_traceIndex];
  uint8_t wire[kRequestLength + kMbapExtraLength];
  const int wireLength = WireRequest(request, requestLength, wire);
  FormatHexLine("Send->", entry, kTraceEntryChars, wire, wireLength);

  DrainInput(port);
  RestoreLostConnection();
  WritePort(port, wire, wireLength);
  int received = 0;
  const ModbusResult transport = ReadResponse(port, request, response, m, &received);
  *r = received < m ? received : m;

  const size_t used = std::strlen(entry);
  FormatHexLine("Recv->", entry + used, kTraceEntryChars - used, response, *r);
  *r = ReceivedAsRtu(response, *r);
  if (g_traceLive == 1 && g_traceRepaintRequest) g_traceRepaintRequest();
  return transport;
}

bool SlaveInRange(int slave) { return slave >= 0 && slave <= 255; }

ModbusResult Counted(ModbusResult result) {
  ++g_transactionsByResult[result];
  return result;
}

ModbusResult Read(int port, int slave, int firstAddress, int count, int* values) {
  // firstAddress > 65535 - count rather than firstAddress + count > 65535:
  // the sum overflows for a first address near INT_MAX.
  if (!SlaveInRange(slave) || count < 1 || count > kMaxReadCount || firstAddress < 0 ||
      firstAddress > 65535 - count) {
    return ResultBadParameter;
  }
  BuildReadRequest(g_readRequest, slave, firstAddress, count);
  int r = 0;
  const ModbusResult transport = Exchange(port, g_readRequest, kRequestLength, g_readResponse, 2 * count + kReadSlack, &r);
  if (transport != ResultOk) return transport;
  return CheckReadResponse(g_readResponse, r, slave, count, values);
}

ModbusResult Write(int port, int slave, int address, int value) {
  if (!SlaveInRange(slave) || address < 0 || address > 1023 || value < 0 || value > 65535) {
    return ResultBadParameter;
  }
  BuildWriteRequest(g_writeRequest, slave, address, value);
  int r = 0;
  const ModbusResult transport = Exchange(port, g_writeRequest, kRequestLength, g_writeResponse, kWriteAskedFor, &r);
  if (transport != ResultOk) return transport;
  return CheckWriteResponse(g_writeResponse, r, slave, address, value);
}

ModbusResult ReportId(int port, int slave, int* slaveId, char* text) {
  if (!SlaveInRange(slave)) return ResultBadParameter;
  BuildReportSlaveIdRequest(g_idRequest, slave);
  int r = 0;
  const ModbusResult transport =
      Exchange(port, g_idRequest, kReportSlaveIdRequestLength, g_idResponse, kReportSlaveIdAskedFor, &r);
  if (transport != ResultOk) return transport;
  return CheckReportSlaveIdResponse(g_idResponse, r, slave, slaveId, text, kSlaveIdTextSize);
}

}  // namespace

const char* TraceEntryOldestFirst(int k) { return g_traceRing[(g_traceIndex + 1 + k) % kTraceEntries]; }

void InitModbusLock() { g_lockInitialized = true; }
bool ModbusLockInitialized() { return g_lockInitialized; }

ModbusResult ReadHoldingRegisters(int port, int slave, int firstAddress, int count, int* values) {
  std::lock_guard<std::recursive_mutex> hold(g_modbusLock);
  return Counted(Read(port, slave, firstAddress, count, values));
}

ModbusResult WriteSingleRegister(int port, int slave, int address, int value) {
  std::lock_guard<std::recursive_mutex> hold(g_modbusLock);
  return Counted(Write(port, slave, address, value));
}

ModbusResult ReportSlaveId(int port, int slave, int* slaveId, char* text) {
  std::lock_guard<std::recursive_mutex> hold(g_modbusLock);
  return Counted(ReportId(port, slave, slaveId, text));
}
