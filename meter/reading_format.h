#pragma once
// Readings and register values as the console, pylaxctl and the CSV file
// show them.

#include <string>

// A reading as the console shows it: "%.3f" of the value, always with a
// decimal point whatever locale the process runs in (the CSV file relies on
// it, and Qt sets the user's locale at start-up).
std::string FormatReading(double value);
// value with "decimals" places and a comma between thousands, whatever the
// locale: "21,809.2", "5,760".
std::string GroupedNumber(double value, int decimals = 0);
// A register value as the console shows it: "%d" of its unsigned 16 bits.
std::string FormatRegister(int value);

// The day and month names of the data file's time text ("Thu Mar 05
// 14:03:07 2009"), which the download writes and the plot reads: our own,
// so that the user's locale cannot change them. By tm_wday and tm_mon.
inline constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
inline constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
