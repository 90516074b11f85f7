#include "console/message_box.h"

#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <utility>

namespace {

MessageHook& Hook() {
  static MessageHook hook;
  return hook;
}

QMessageBox::Icon BoxIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Exclamation: return QMessageBox::Warning;
    case MessageIcon::Information: return QMessageBox::Information;
    case MessageIcon::Error: return QMessageBox::Critical;
    case MessageIcon::None: break;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

QString ApplicationTitle() {
  // The whole file name: Linux programs carry no extension to strip, and a
  // name like "pylax-2.2" must keep its dot.
  return QFileInfo(QCoreApplication::applicationFilePath()).fileName();
}

MessageHook SetMessageHook(MessageHook hook) { return std::exchange(Hook(), std::move(hook)); }

void ShowAppMessage(QWidget* parent, const QString& text, MessageIcon icon) {
  if (Hook()) {
    Hook()(ApplicationTitle(), text, icon);
    return;
  }
  QMessageBox box(BoxIcon(icon), ApplicationTitle(), text, QMessageBox::Ok,
                  parent ? parent : QApplication::activeWindow());
  box.exec();
}
