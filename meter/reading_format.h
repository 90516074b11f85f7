#pragma once
// Readings and register values as the console, pylaxctl and the CSV file
// show them.

#include <string>

// A reading as the console shows it: "%.3f" of the value, always with a
// decimal point whatever locale the process runs in (the CSV file relies on
// it, and Qt sets the user's locale at start-up).
std::string FormatReading(double value);
// A register value as the console shows it: "%d" of its unsigned 16 bits.
std::string FormatRegister(int value);
