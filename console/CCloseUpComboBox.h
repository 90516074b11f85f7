#pragma once
// A drop-down list that says when its list opens and when it has closed
// again, whether or not the selection changed: the console acts on the close,
// so a selection changed with the keyboard while the list stays closed waits
// for the next close.

#include <QComboBox>
#include <QPointer>

class CCloseUpComboBox : public QComboBox {
  Q_OBJECT

 public:
  using QComboBox::QComboBox;

  void showPopup() override;

 Q_SIGNALS:
  // Just before the list opens.
  void dropDown();
  // After an open list has closed: an entry chosen, Escape, or a click
  // elsewhere. Delivered from the event loop, once the choice is applied.
  void closeUp();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QPointer<QWidget> m_popup;
};
