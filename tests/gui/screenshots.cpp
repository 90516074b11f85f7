// Pictures of the windows as a user meets them: the terms dialog, then the
// console polling a simulated QM4C, its about box, its trace window and the
// console once the meter stops answering. They go to
// $PYLAX_SCREENSHOT_DIR (scripts/screenshots.sh sets it, under xvfb-run);
// without it they go to a temporary folder, so the test run keeps the
// picture-taking path working.

#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "dialogs/CAboutDlg.h"
#include "dialogs/CDisclaimerDlg.h"
#include "console/CCloseUpComboBox.h"
#include "console/CCommTraceDlg.h"
#include "modbus/port_map.h"
#include "tests/gui/gui_support.h"
#include "tests/support/sim_process.h"

class ScreenshotsTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void termsAndLiveConsole();
};

void ScreenshotsTest::termsAndLiveConsole() {
  const ScreenshotFolder folder;
  const auto save = [&folder](QWidget* window, const QString& name) { QVERIFY2(folder.Save(window, name), qPrintable(name)); };

  SimProcess sim({"--meter", "3:QM4C", "--meter", "7:QM4A", "--prefill", "1500", "--subinterval", "300"});
  MessageLog messages;
  TestConsole console;
  console.Session().ports.Set(1, sim.LinkPath());
  console.timerMode = TestConsole::TimerMode::Real;

  WhenModalOpens<CDisclaimerDlg>([&save](CDisclaimerDlg* terms) {
    QVERIFY(QTest::qWaitForWindowExposed(terms));
    save(terms, QStringLiteral("terms.png"));
    QTest::mouseClick(Control<QPushButton>(terms, IDOK), Qt::LeftButton);
  });
  console.OnInitDialog();
  console.show();
  QVERIFY(QTest::qWaitForWindowExposed(&console));
  OpenSimulatorPort(console, sim, 3, 7);
  QCOMPARE(console.Session().pickedMeter.address, 3);
  // Two ticks of the real timer, so every field has its reading.
  QTRY_VERIFY_WITH_TIMEOUT(console.Session().pollState.ok >= 6, 10000);
  QTest::mouseClick(Control<QRadioButton>(&console, IDC_VLN_ALL + 1), Qt::LeftButton);  // Volts L-N, phase A
  QTRY_VERIFY_WITH_TIMEOUT(!FieldText(&console, IDC_VOLTS_LN).isEmpty(), 5000);
  save(&console, QStringLiteral("console.png"));

  WhenModalOpens<CAboutDlg>([&save](CAboutDlg* about) {
    QVERIFY(QTest::qWaitForWindowExposed(about));
    save(about, QStringLiteral("about.png"));
    QTest::keyClick(about, Qt::Key_Escape);
  });
  console.OnSysCommand(CMeterConsoleDlg::kIdmAboutBox);

  QTest::mouseClick(Control<QPushButton>(&console, IDC_SHOW_COMM), Qt::LeftButton);
  QVERIFY(QTest::qWaitForWindowExposed(console.CommTrace().Window()));
  const int ok = console.Session().pollState.ok;
  QTRY_VERIFY_WITH_TIMEOUT(console.Session().pollState.ok > ok, 5000);
  QTest::qWait(100);
  save(console.CommTrace().Window(), QStringLiteral("commtrace.png"));

  QCOMPARE(QString::fromStdString(sim.Command("fault 3 silent")), QStringLiteral("ok"));
  QTRY_VERIFY_WITH_TIMEOUT(!LineStatus(&console).isEmpty(), 5000);
  save(&console, QStringLiteral("console-not-answering.png"));
  QVERIFY(messages.texts.isEmpty());
}

QTEST_MAIN(ScreenshotsTest)
#include "screenshots.moc"
