#include "widgets/field_validation.h"

#include <QLineEdit>
#include <algorithm>

#include "widgets/message_box.h"

FieldReading ReadUnsignedField(const QString& text, unsigned low, unsigned high) {
  const QString digits = text.trimmed();
  if (digits.isEmpty()) return {};
  unsigned long long value = 0;
  for (QChar c : digits) {
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return {};
    value = std::min<unsigned long long>(value * 10 + (c.unicode() - '0'), 0xFFFFFFFFULL);
  }
  const unsigned read = static_cast<unsigned>(value);
  return {read < low || read > high ? FieldCheck::OutOfRange : FieldCheck::Ok, read};
}

void RefuseField(QWidget* dialog, QLineEdit* field, FieldCheck check, unsigned low, unsigned high) {
  const QString message = check == FieldCheck::NotANumber
                              ? QStringLiteral("Please enter a positive integer.")
                              : QStringLiteral("Please enter an integer between %1 and %2.").arg(low).arg(high);
  ShowAppMessage(dialog, message, MessageIcon::Exclamation);
  field->setFocus();
  field->selectAll();
}
