// The window tests' own helpers: a watch for a modal window that a test
// function left behind (after a failed check, or for a window that never
// opened) must not act on the next function's windows, where what it
// captured is gone.

#include <QDialog>
#include <QTest>

#include "tests/gui/gui_support.h"

namespace {
int g_staleActions = 0;
}

class GuiSupportTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  // In this order: the first leaves its watch for the second.
  void aWatchIsLeftWithoutItsWindow();
  void theNextFunctionsWindowIsLeftToItsOwnWatch();
};

void GuiSupportTest::aWatchIsLeftWithoutItsWindow() {
  WhenModalOpens<QDialog>([](QDialog* dialog) {
    ++g_staleActions;
    dialog->reject();
  });
}

void GuiSupportTest::theNextFunctionsWindowIsLeftToItsOwnWatch() {
  QDialog dialog;
  WhenModalOpens<QDialog>([](QDialog* opened) { opened->accept(); });
  QCOMPARE(dialog.exec(), int(QDialog::Accepted));
  QCOMPARE(g_staleActions, 0);
}

QTEST_MAIN(GuiSupportTest)
#include "test_gui_support.moc"
