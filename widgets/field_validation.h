#pragma once
// Reading an unsigned number back from an edit field, as every dialog's
// field transfer does it, with the framework's two refusals.

#include <QString>

class QLineEdit;
class QWidget;

enum class FieldCheck { Ok, NotANumber, OutOfRange };

struct FieldReading {
  FieldCheck check = FieldCheck::NotANumber;
  unsigned value = 0;  // what was read; kept for OutOfRange too
};

// Decimal digits, blanks around them allowed. A number too large for 32 bits
// is still a positive integer: it saturates, and the range check refuses it.
FieldReading ReadUnsignedField(const QString& text, unsigned low, unsigned high);

// Shows "Please enter a positive integer." or "Please enter an integer
// between %1 and %2." (exclamation icon), then puts the focus on the field
// with its text selected.
void RefuseField(QWidget* dialog, QLineEdit* field, FieldCheck check, unsigned low, unsigned high);
