#include "console/CCloseUpComboBox.h"

#include <QAbstractItemView>
#include <QEvent>
#include <QTimer>

void CCloseUpComboBox::showPopup() {
  Q_EMIT dropDown();
  QComboBox::showPopup();
  // The list's window hides on every kind of close, while hidePopup() is
  // skipped when a click elsewhere closes it; and an entry chosen in the
  // list becomes current only after the list has hidden.
  QWidget* popup = view()->window();
  if (popup != m_popup) {
    popup->installEventFilter(this);
    m_popup = popup;
  }
}

bool CCloseUpComboBox::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_popup && event->type() == QEvent::Hide)
    QTimer::singleShot(0, this, [this] { Q_EMIT closeUp(); });
  return QComboBox::eventFilter(watched, event);
}
