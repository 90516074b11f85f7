#include "modbus/result.h"

namespace {

constexpr const char* kResultTexts[kResultCount] = {
    "Ok",
    "Err #1, Timeout Waiting For Response",
    "Err #2, Response Too Large for Buffer",
    "Err #3, Response Has Incorrect Number of Bytes",
    "Err #4, Exception Response from Modbus Device",
    "Err #5, CRC Error",
    "Err #6, Response from Wrong Address",
    "Err #7, Response with incorrect function code",
    "Err #8, Response indicates incorrect data length",
    "Err #9, Write did not confirm correct data",
    "Err #10, Function Called with Invalid Input Parameter",
};

}  // namespace

const char* ResultText(ModbusResult result) { return kResultTexts[result]; }
