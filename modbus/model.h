#pragma once

// Model codes: 0 none, 1 QM4A, 2 QM4B, 3 QM4C.
enum : int { ModelNone = 0, ModelQM4A = 1, ModelQM4B = 2, ModelQM4C = 3 };

// "QM4A", "QM4B", "QM4C" for the model codes 1 to 3; "unknown" for any other.
const char* ModelName(int model);

// Case-sensitive search for "QM4A", then "QM4B", then "QM4C" anywhere in the
// text; the first that matches decides.
int ModelCodeFromText(const char* text);
