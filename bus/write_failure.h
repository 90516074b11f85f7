#pragma once
// What a failed write says: a Modbus TCP gateway that takes no writes
// answers them with exception 01, which on its own reads as any meter's
// refusal; the monitor's gateway does so until it is given --gateway-writes.

#include <string>

#include "modbus/link.h"

// The exception code a Modbus TCP gateway answers a write it does not pass on.
constexpr int kExceptionCodeIllegalFunction = 1;

// True when link's last transaction, which ended with result, was a write
// refused by the Modbus TCP gateway link is connected to.
bool GatewayRefusedWrite(const ModbusLink& link, ModbusResult result);

// "the gateway at HOST:PORT refused the write (exception 01): ..." where
// GatewayRefusedWrite, else ResultText(result).
std::string WriteFailureText(const ModbusLink& link, ModbusResult result);
