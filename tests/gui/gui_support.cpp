#include "tests/gui/gui_support.h"

#include <QAbstractItemView>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QPaintEvent>
#include <QPushButton>
#include <QTest>

#include "console/CCloseUpComboBox.h"
#include "console/CCommTraceDlg.h"
#include "dialogs/CDisclaimerDlg.h"
#include "modbus/port_map.h"
#include "resources/app_resources.h"
#include "tests/support/sim_process.h"

QString FieldText(const QWidget* root, int id) {
  const QLineEdit* field = Control<QLineEdit>(root, id);
  return field ? field->text() : QStringLiteral("<no field %1>").arg(id);
}

void TypeInto(const QWidget* root, int id, const QString& text) {
  QLineEdit* field = Control<QLineEdit>(root, id);
  field->setFocus();
  QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
  if (text.isEmpty())
    QTest::keyClick(field, Qt::Key_Delete);
  else
    QTest::keyClicks(field, text);
}

MessageLog::MessageLog() {
  previous_ = SetMessageHook([this](const QString& title, const QString& text, MessageIcon icon) {
    titles << title;
    texts << text;
    icons.push_back(icon);
  });
}

MessageLog::~MessageLog() { SetMessageHook(std::move(previous_)); }

QByteArray CurrentTestRun() {
  return QByteArray(QTest::currentTestFunction()) + '/' + QTest::currentDataTag();
}

void MessageLog::Clear() {
  titles.clear();
  texts.clear();
  icons.clear();
}

void ResetProgramState() {
  SetResourceString(IDS_ABOUTBOX, QStringLiteral("&About Pylax..."));
}

void TestConsole::Tick() {
  QTimerEvent tick(1);
  QCoreApplication::sendEvent(this, &tick);
}

int TestConsole::SetTimer(int elapseMs) {
  requestedPeriodMs = elapseMs;
  switch (timerMode) {
    case TimerMode::Fail: return 0;
    case TimerMode::Real: return CMeterConsoleDlg::SetTimer(elapseMs);
    case TimerMode::Manual: break;
  }
  constexpr int kOneDayMs = 24 * 3600 * 1000;
  return CMeterConsoleDlg::SetTimer(kOneDayMs);
}

void TestConsole::showEvent(QShowEvent* event) {
  ++showCount;
  CMeterConsoleDlg::showEvent(event);
}

void TestConsole::paintEvent(QPaintEvent* event) {
  const QListWidget* devices = Control<QListWidget>(this, IDC_DEVICES);
  paintedFirstLines << (devices->count() > 0 ? devices->item(0)->text() : QString());
  if (onPaint) onPaint(paintedFirstLines.back());
  CMeterConsoleDlg::paintEvent(event);
}

void StartConsole(TestConsole& console, bool accept) {
  WhenModalOpens<CDisclaimerDlg>([accept](CDisclaimerDlg* terms) {
    QTest::mouseClick(Control<QPushButton>(terms, accept ? IDOK : IDCANCEL), Qt::LeftButton);
  });
  console.OnInitDialog();
  if (accept) {
    console.show();
    QVERIFY(QTest::qWaitForWindowExposed(&console));
  }
}

void ChooseFromList(CCloseUpComboBox* list, int index) {
  list->setFocus();
  QTest::keyClick(list, Qt::Key_F4);
  QAbstractItemView* view = list->view();
  QVERIFY(view->isVisible());
  if (index < 0) {
    QTest::keyClick(view, Qt::Key_Escape);
  } else {
    QTest::keyClick(view, Qt::Key_Home);
    for (int step = 0; step < index; ++step) QTest::keyClick(view, Qt::Key_Down);
    QTest::keyClick(view, Qt::Key_Return);
  }
  QVERIFY(!view->isVisible());
  QCoreApplication::processEvents();  // the close-up and what it runs
}

void OpenSimulatorPort(TestConsole& console, const SimProcess& sim, unsigned start, unsigned end) {
  OpenSimulatorPort(console, sim.LinkPath(), start, end);
}

void OpenSimulatorPort(TestConsole& console, const std::string& path, unsigned start, unsigned end) {
  console.Session().ports.Set(1, path);
  TypeInto(&console, IDC_SCAN_START, QString::number(start));
  TypeInto(&console, IDC_SCAN_END, QString::number(end));
  ChooseFromList(Control<CCloseUpComboBox>(&console, IDC_COM_PORT), 0);
  QVERIFY(console.Session().link.IsOpen());
}

QString LineStatus(const QWidget* console) { return console->findChild<QLabel*>(QStringLiteral("lineStatus"))->text(); }

void ConsoleTestBase::init() {
  ResetProgramState();
  unexpected_.Clear();
}

void ConsoleTestBase::cleanup() {
  ResetProgramState();
  QCOMPARE(unexpected_.texts, QStringList());  // no message the test did not ask for
}

bool ScreenshotFolder::Save(QWidget* window, const QString& name) const {
  const QString path = QDir(Wanted() ? wanted_ : temporary_.path()).filePath(name);
  if (!window->grab().save(path)) return false;
  qInfo("saved %s", qPrintable(path));
  return true;
}
