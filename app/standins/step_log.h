#pragma once
// A record of the start-up and shut-down steps, in the order they ran
// ("CoInitialize", "Initialize", "ApplyRegistryScript 103 register", ...).
// Tests read it in memory; when PYLAX_STEP_LOG names a file, every step is
// also appended there as one line, so a test can follow a running pylax
// process (and see when its windowless run is ready for a signal).

#include <string>
#include <vector>

void RecordStep(const std::string& step);
const std::vector<std::string>& RecordedSteps();
void ClearRecordedSteps();
