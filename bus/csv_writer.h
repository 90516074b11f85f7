#pragma once
// The CSV file of a download: the header names the slots' registers, each row
// one logging instant. Apart from the line, so the rules of its columns can
// be checked on a LoggedData made by hand.

#include <cstdio>

#include "bus/download.h"

// Writes the header (labels of headerSlots, the registers read for it) and
// one row for each of data.pointCount instants, newest first, to file.
void WriteDataFile(FILE* file, const LoggedData& data, const int (&headerSlots)[reg::kSlotCount]);
// The same in parts, for a file of more rows than one LoggedData holds: the
// header once, then each part's rows, numbered on from firstNumber. The
// extra columns follow data's slot registers.
void WriteDataHeader(FILE* file, const LoggedData& data, const int (&headerSlots)[reg::kSlotCount]);
void WriteDataRows(FILE* file, const LoggedData& data, int firstNumber);
