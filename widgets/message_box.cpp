#include "widgets/message_box.h"

#include <QApplication>
#include <QMessageBox>
#include <utility>

#include "resources/version_info.h"

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
  // Not the executable's file name: on Linux that is "pylax", lower case,
  // where the Windows program's "Pylax.EXE" gave its boxes "Pylax".
  return QString::fromLatin1(version_info::kInternalName);
}

MessageHook SetMessageHook(MessageHook hook) { return std::exchange(Hook(), std::move(hook)); }

void ShowAppMessage(QWidget* parent, const QString& text, MessageIcon icon) {
  if (Hook()) {
    Hook()(ApplicationTitle(), text, icon);
    return;
  }
  QMessageBox box(BoxIcon(icon), ApplicationTitle(), text, QMessageBox::Ok,
                  parent ? parent : QApplication::activeWindow());
  // Like the original's boxes, which disabled their owner only: the
  // modeless trace window goes on taking input.
  box.setWindowModality(Qt::WindowModal);
  box.exec();
}
