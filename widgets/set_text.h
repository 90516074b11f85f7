#pragma once
// A display refresh writes a field only when its text differs, so that the
// caret and selection of a field being typed in survive the once-a-second
// refresh, and so that a paint handler that refreshes causes no new paint.

#include <QLineEdit>
#include <QString>

inline void SetTextIfChanged(QLineEdit* field, const QString& text) {
  if (field->text() != text) field->setText(text);
}
