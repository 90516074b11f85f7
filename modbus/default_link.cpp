// The process's default link and the original program's names for its
// state, which the windows still speak. The names are references into the
// link itself, so there is one copy of each; only the framing is a value of
// its own, handed to the link at each call (the option sets it before the
// port is opened, tests between transactions).
#include "modbus/master.h"
#include "modbus/serial_link.h"

struct DefaultLinkState {
  static constexpr int& PortOpen(ModbusLink& link) { return link.portOpen_; }
  static constexpr char (&PortName(ModbusLink& link))[kPortNameSize] { return link.portName_; }
  static constexpr const unsigned long (&Tally(ModbusLink& link))[kResultCount] { return link.tally_; }
};

namespace {

// Made at load time; the names below are bound to its members before it is
// made (a reference needs only the address), but nothing may write through
// them before main.
PortMap g_defaultPorts;
ModbusLink g_defaultLink(LinkSettings{}, &g_defaultPorts);
bool g_lockInitialized = false;

ModbusLink& Current() {
  LinkSettings settings = g_defaultLink.Settings();
  settings.framing = g_framing;
  g_defaultLink.SetSettings(settings);
  return g_defaultLink;
}

}  // namespace

// Bound before any code runs, so no other file's start-up can see them unbound.
const PortDescriptor g_port{};
PortDescriptor::operator int() const { return g_defaultLink.Descriptor(); }
constinit int& g_portOpen = DefaultLinkState::PortOpen(g_defaultLink);
constinit char (&g_portName)[kPortNameSize] = DefaultLinkState::PortName(g_defaultLink);
Framing g_framing = Framing::Silence;
constinit char (&g_traceRing)[kTraceEntries][kTraceEntryChars] = g_defaultLink.Trace().entries;
constinit int& g_traceIndex = g_defaultLink.Trace().newest;
constinit int& g_traceLive = g_defaultLink.Trace().live;
using RepaintRequest = void (*)();
constinit RepaintRequest& g_traceRepaintRequest = g_defaultLink.Trace().repaintRequest;
constinit const unsigned long (&g_transactionsByResult)[kResultCount] = DefaultLinkState::Tally(g_defaultLink);

ModbusLink& DefaultLink() { return Current(); }
PortMap& DefaultPortMap() { return g_defaultPorts; }

bool OpenPort(const char* name, int baudRate) { return Current().Open(name, baudRate); }
void ReopenPort(int baudRate) { Current().Reopen(baudRate); }
void ClosePort() { Current().Close(); }
void DrainInput(int) { Current().DrainInput(); }

bool PortDeviceGone() { return g_defaultLink.DeviceGone(); }
std::string PortGoneText() { return g_defaultLink.GoneText(); }
bool PortReconnects() { return g_defaultLink.Reconnects(); }
std::string PortOpenFailureText() { return g_defaultLink.OpenFailureText(); }

const char* TraceEntryOldestFirst(int k) { return g_defaultLink.Trace().OldestFirst(k); }

void InitModbusLock() { g_lockInitialized = true; }
bool ModbusLockInitialized() { return g_lockInitialized; }

ModbusResult ReadHoldingRegisters(int, int slave, int firstAddress, int count, int* values) {
  return Current().ReadHoldingRegisters(slave, firstAddress, count, values);
}

ModbusResult WriteSingleRegister(int, int slave, int address, int value) {
  return Current().WriteSingleRegister(slave, address, value);
}

ModbusResult ReportSlaveId(int, int slave, int* slaveId, char* text) {
  return Current().ReportSlaveId(slave, slaveId, text);
}
