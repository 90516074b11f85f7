// Pictures of the chart windows as a user meets them: the plot of a
// simulated QM4C's full 60-day log downloaded through the logging window, and
// the trend of the console's poll of that QM4C and then a QM4B, into a
// ScreenshotFolder (for the test run, with fewer ticks).

#include <QComboBox>
#include <QListWidget>
#include <QDir>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "charts/CLogPlotDlg.h"
#include "charts/CTrendDlg.h"
#include "logging/CLoggingDlg.h"
#include "modbus/port_map.h"
#include "tests/gui/gui_support.h"
#include "tests/support/sim_process.h"

class ChartScreenshotsTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void trendAndPlot();
};

void ChartScreenshotsTest::trendAndPlot() {
  const ScreenshotFolder folder;
  const auto save = [&folder](QWidget* window, const QString& name) { QVERIFY2(folder.Save(window, name), qPrintable(name)); };
  // The download writes into the current directory.
  QTemporaryDir downloads;
  const QString previous = QDir::currentPath();
  QDir::setCurrent(downloads.path());

  SimProcess sim({"--meter", "3:QM4C", "--meter", "7:QM4B", "--prefill", "5760"});  // 900 s apart: 60 days
  MessageLog messages;
  TestConsole console;
  console.timerMode = TestConsole::TimerMode::Real;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 7);

  WhenModalOpens<CLoggingDlg>([](CLoggingDlg* logging) {
    QTest::mouseClick(logging->findChild<QPushButton*>(QStringLiteral("downloadButton")), Qt::LeftButton);
    QTest::mouseClick(logging->findChild<QPushButton*>(QStringLiteral("plotButton")), Qt::LeftButton);
    logging->reject();
  });
  QTest::mouseClick(Control<QPushButton>(&console, IDC_LOGGING), Qt::LeftButton);
  QDir::setCurrent(previous);
  auto* plot = console.findChild<CLogPlotDlg*>();
  QVERIFY(plot != nullptr);
  QVERIFY(QTest::qWaitForWindowExposed(plot));
  QTest::qWait(300);
  save(plot, QStringLiteral("plot.png"));
  plot->close();

  // A minute of the real timer's ticks, the last minute shown: the QM4C's,
  // then the QM4B's.
  QApplication::setActiveWindow(&console);
  QVERIFY(QTest::qWaitForWindowActive(&console));
  QTest::keyClick(&console, Qt::Key_T, Qt::ControlModifier);
  CTrendDlg* trend = console.TrendWindow();
  QVERIFY(trend != nullptr);
  trend->SpanList()->setCurrentIndex(0);
  const int ticks = folder.Wanted() ? 28 : 2;
  QTRY_VERIFY_WITH_TIMEOUT(console.TrendData().Count() >= ticks, ticks * 1500);
  auto* devices = Control<QListWidget>(&console, IDC_DEVICES);
  QTest::mouseClick(devices->viewport(), Qt::LeftButton, {}, devices->visualItemRect(devices->item(1)).center());
  QTRY_VERIFY_WITH_TIMEOUT(console.TrendData().Count() >= 2 * ticks, ticks * 1500);
  QVERIFY(QTest::qWaitForWindowExposed(trend));
  QTest::qWait(300);  // the chart lays out its new lines from the event loop
  save(trend, QStringLiteral("trend.png"));
  QVERIFY(messages.texts.isEmpty());
}

QTEST_MAIN(ChartScreenshotsTest)
#include "screenshots.moc"
