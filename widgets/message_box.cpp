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

QuestionHook& Answer() {
  static QuestionHook hook;
  return hook;
}

QMessageBox::Icon BoxIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Exclamation: return QMessageBox::Warning;
    case MessageIcon::Information: return QMessageBox::Information;
    case MessageIcon::Error: return QMessageBox::Critical;
    case MessageIcon::Question: return QMessageBox::Question;
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

namespace {
// Like the original's boxes, which disabled their owner only: the modeless
// trace window goes on taking input.
int RunBox(QWidget* parent, const QString& text, MessageIcon icon, QMessageBox::StandardButtons buttons,
           QMessageBox::StandardButton defaultButton) {
  QMessageBox box(BoxIcon(icon), ApplicationTitle(), text, buttons, parent ? parent : QApplication::activeWindow());
  box.setDefaultButton(defaultButton);
  box.setWindowModality(Qt::WindowModal);
  return box.exec();
}
}  // namespace

void ShowAppMessage(QWidget* parent, const QString& text, MessageIcon icon) {
  if (Hook()) {
    Hook()(ApplicationTitle(), text, icon);
    return;
  }
  RunBox(parent, text, icon, QMessageBox::Ok, QMessageBox::Ok);
}

QuestionHook SetQuestionHook(QuestionHook hook) { return std::exchange(Answer(), std::move(hook)); }

bool AskAppQuestion(QWidget* parent, const QString& text) {
  if (Hook()) {
    Hook()(ApplicationTitle(), text, MessageIcon::Question);
    return Answer() && Answer()(text);
  }
  return RunBox(parent, text, MessageIcon::Question, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
         QMessageBox::Yes;
}
