// Pictures of the chart windows as a user meets them: the trend of a
// simulated QM4C polled by the console, and the plot of its full 60-day log
// downloaded through the logging window. They go to $PYLAX_SCREENSHOT_DIR
// (scripts/screenshots.sh sets it, under xvfb-run); without it they go to a
// temporary folder, with fewer ticks, so the test run keeps the
// picture-taking path working.

#include <QChart>
#include <QComboBox>
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
  QTemporaryDir temporary;
  const QString wanted = qEnvironmentVariable("PYLAX_SCREENSHOT_DIR");
  const QDir folder(wanted.isEmpty() ? temporary.path() : wanted);
  QVERIFY(folder.exists());
  const auto save = [&folder](QWidget* window, const QString& name) {
    const QString path = folder.filePath(name);
    QVERIFY2(window->grab().save(path), qPrintable(path));
    qInfo("saved %s", qPrintable(path));
  };
  // The download writes into the current directory.
  const QString previous = QDir::currentPath();
  QDir::setCurrent(temporary.path());

  SimProcess sim({"--meter", "3:QM4C", "--prefill", "5760"});  // 900 s apart: 60 days
  MessageLog messages;
  TestConsole console;
  console.timerMode = TestConsole::TimerMode::Real;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);

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

  // A minute of the real timer's ticks, the last minute shown.
  QApplication::setActiveWindow(&console);
  QVERIFY(QTest::qWaitForWindowActive(&console));
  QTest::keyClick(&console, Qt::Key_T, Qt::ControlModifier);
  CTrendDlg* trend = console.TrendWindow();
  QVERIFY(trend != nullptr);
  trend->SpanList()->setCurrentIndex(0);
  const int ticks = wanted.isEmpty() ? 3 : 55;
  QTRY_VERIFY_WITH_TIMEOUT(console.TrendData().Count() >= ticks, ticks * 1500);
  QVERIFY(QTest::qWaitForWindowExposed(trend));
  QTest::qWait(300);  // the chart lays out its new lines from the event loop
  save(trend, QStringLiteral("trend.png"));
  QVERIFY(messages.texts.isEmpty());
}

QTEST_MAIN(ChartScreenshotsTest)
#include "screenshots.moc"
