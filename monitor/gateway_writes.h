#pragma once
// The writes the gateway's clients make, by what they change: each one
// passed to a meter is said and counted, each one refused counted.

#include <string>

enum class WriteClass { Clock, EnergyReset, LoggingSetup, SlotSelection, Other };
constexpr int kWriteClasses = 5;

// Of a write of value to address: 154..156 the clock; 128 with 30078 the
// energy reset; any other value to 128 (16640 restarts logging), 149, 158
// and 168..177 the logging setup; 157 the slot selection.
WriteClass WriteClassOf(int address, int value);
// "clock", "energy_reset", "logging_setup", "slot_selection", "other".
const char* WriteClassName(WriteClass kind);
// "127.0.0.1:40112 wrote 30078 to register 128 of meter 03 (energy reset)".
std::string WriteText(const std::string& client, int unit, int address, int value);
