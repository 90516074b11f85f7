// The trend window fed by the console's poll of qm4sim, and the plot of a
// file the logging window downloaded from it, driven as a person does.

#include <QChart>
#include <QChartView>
#include <QDateTimeAxis>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLineSeries>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScatterSeries>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <map>

#include "charts/CLogPlotDlg.h"
#include "charts/CTrendDlg.h"
#include "logging/CLoggingDlg.h"
#include "meter/reading_format.h"
#include "tests/gui/gui_support.h"
#include "tests/support/sim_process.h"

namespace {
// The console's reading fields and the trend quantity each shows.
const std::pair<int, TrendQuantity> kReadings[] = {
    {IDC_KWH, TrendQuantity::Kwh},         {IDC_KW, TrendQuantity::Kw},           {IDC_PF, TrendQuantity::Pf},
    {IDC_VOLTS_LL, TrendQuantity::VoltsLL}, {IDC_VOLTS_LN, TrendQuantity::VoltsLN}, {IDC_AMPS, TrendQuantity::Amps}};

// The chart's lines by legend name: their points, all segments together.
std::map<QString, int> PointsByName(const QChart* chart) {
  std::map<QString, int> points;
  for (QAbstractSeries* series : chart->series())
    if (auto* line = qobject_cast<QLineSeries*>(series)) points[line->name()] += int(line->count());
  return points;
}

void ClickLine(QWidget* console, int row) {
  auto* list = Control<QListWidget>(console, IDC_DEVICES);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row)).center());
}

QString LineOf(const QWidget* console, int row) { return Control<QListWidget>(console, IDC_DEVICES)->item(row)->text(); }

// Ctrl+T as a person presses it, on the console in front.
CTrendDlg* OpenTrend(TestConsole& console) {
  // The offscreen platform leaves the port list's closed popup the active
  // window; a person's click on the console would make it active again.
  QApplication::setActiveWindow(&console);
  if (!QTest::qWaitForWindowActive(&console)) return nullptr;
  QTest::keyClick(&console, Qt::Key_T, Qt::ControlModifier);
  return console.TrendWindow();
}

void WriteFile(const QString& path, const QByteArray& text) {
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write(text);
}
}  // namespace

class ChartWindowsTest : public ConsoleTestBase {
  Q_OBJECT

 private Q_SLOTS:
  void trendFollowsThePoll();
  void trendLeavesAGapForAFailedRead();
  void plotOfADownload();
  void plotRefusesAMalformedFile();
  void plotMarksErrorsAndZooms();
};

void ChartWindowsTest::trendFollowsThePoll() {
  SimProcess sim({"--meter", "3:QM4C", "--meter", "7:QM4A", "--static"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 7);
  CTrendDlg* trend = OpenTrend(console);
  QVERIFY(trend != nullptr && trend->isVisible());

  // Each tick's values, as the console's fields show them; the kW row set
  // to phase B halfway, which the trend's phase line must match.
  constexpr int kTicks = 6;
  const TrendStore& store = console.TrendData();
  for (int tick = 0; tick < kTicks; ++tick) {
    if (tick == kTicks / 2) QTest::mouseClick(Control<QRadioButton>(&console, IDC_KW_ALL + 2), Qt::LeftButton);
    console.Tick();
    QCOMPARE(store.Count(), tick + 1);
    for (const auto& [field, quantity] : kReadings) {
      const int column = field == IDC_KW && tick >= kTicks / 2 ? 2 : 0;
      const float value = store.ValueAt(tick, ChannelsOf(quantity)[column]);
      QCOMPARE(QString::fromStdString(FormatReading(value)), FieldText(&console, field));
    }
  }
  QVERIFY(LineOf(&console, 0).startsWith(QStringLiteral("03 - ")));
  QCOMPARE(trend->Chart()->title(), LineOf(&console, 0));
  const QString qm4c = QStringLiteral("03 - QM4C");
  const std::map<QString, int> qm4cLines = PointsByName(trend->Chart());
  QCOMPARE(qm4cLines.size(), size_t(4));
  for (const char* phase : {"All", "Phase A", "Phase B", "Phase C"})
    QVERIFY2(qm4cLines.count(qm4c + QLatin1Char(' ') + QLatin1String(phase)), phase);

  // Paused, the chart stands still while the ticks are kept; resumed, it follows.
  QTest::mouseClick(trend->PauseButton(), Qt::LeftButton);
  QCOMPARE(trend->PauseButton()->text(), QStringLiteral("Resume"));
  const QList<QAbstractSeries*> frozen = trend->Chart()->series();
  console.Tick();
  QCOMPARE(store.Count(), kTicks + 1);
  QCOMPARE(trend->Chart()->series(), frozen);
  QTest::mouseClick(trend->PauseButton(), Qt::LeftButton);
  QVERIFY(trend->Chart()->series() != frozen);

  // Another meter: lines of its own; a QM4A has the total kW only.
  ClickLine(&console, 1);
  console.Tick();
  console.Tick();
  const std::map<QString, int> both = PointsByName(trend->Chart());
  QCOMPARE(both.size(), size_t(5));
  QVERIFY(both.count(QStringLiteral("07 - QM4A All")));
  QCOMPARE(store.MeterAt(store.Count() - 1), LineOf(&console, 1).toStdString());

  QTemporaryDir folder;
  QVERIFY(trend->SaveData(folder.filePath(QStringLiteral("trend.csv"))));
  QFile data(folder.filePath(QStringLiteral("trend.csv")));
  QVERIFY(data.open(QIODevice::ReadOnly));
  QCOMPARE(data.readAll().count('\n'), store.Count() + 1);
  QVERIFY(trend->SavePicture(folder.filePath(QStringLiteral("trend.png"))));
  QCOMPARE(QImage(folder.filePath(QStringLiteral("trend.png"))).size(), trend->Chart()->scene()->views().front()->size());
}

void ChartWindowsTest::trendLeavesAGapForAFailedRead() {
  SimProcess sim({"--meter", "3:QM4C", "--static"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);
  console.Tick();
  QCOMPARE(QString::fromStdString(sim.Command("fault 3 silent 1 at 258")), QStringLiteral("ok"));
  console.Tick();  // the reading block goes unanswered
  console.Tick();
  const TrendStore& store = console.TrendData();
  QCOMPARE(store.Count(), 3);
  for (int channel = 0; channel < kTrendChannels; ++channel) QVERIFY(std::isnan(store.ValueAt(1, channel)));
  // Drawn finely enough, every line breaks there, and nothing reads zero.
  const int kw = ChannelsOf(TrendQuantity::Kw)[0];
  const std::vector<TrendLine> lines = store.Lines({kw}, store.TimeAt(0), store.TimeAt(2), 100000);
  QCOMPARE(lines.size(), size_t(1));
  QCOMPARE(lines[0].segments.size(), size_t(2));
  QCOMPARE(lines[0].segments[0].size() + lines[0].segments[1].size(), size_t(2));
  CTrendDlg* trend = OpenTrend(console);
  QVERIFY(trend != nullptr);
  for (QAbstractSeries* series : trend->Chart()->series())
    for (const QPointF& point : static_cast<QLineSeries*>(series)->points()) QVERIFY(point.y() != 0.0);
}

void ChartWindowsTest::plotOfADownload() {
  QTemporaryDir folder;
  const QString previous = QDir::currentPath();
  QDir::setCurrent(folder.path());
  SimProcess sim({"--meter", "3:QM4C", "--prefill", "130", "--static"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);
  WhenModalOpens<CLoggingDlg>([](CLoggingDlg* logging) {
    auto* plot = logging->findChild<QPushButton*>(QStringLiteral("plotButton"));
    QVERIFY(!plot->isEnabled());
    QTest::mouseClick(logging->findChild<QPushButton*>(QStringLiteral("downloadButton")), Qt::LeftButton);
    QVERIFY(plot->isEnabled());
    QTest::mouseClick(plot, Qt::LeftButton);
    logging->reject();
  });
  QTest::mouseClick(Control<QPushButton>(&console, IDC_LOGGING), Qt::LeftButton);
  QDir::setCurrent(previous);

  auto* plot = console.findChild<CLogPlotDlg*>();
  QVERIFY(plot != nullptr && plot->isVisible());
  QCOMPARE(plot->windowTitle(), QStringLiteral("Plot of 03-data.csv"));
  // The simulator's slots 1, 2, 3, 6, 8, 9, 26, 261, 262 and 0: a line per
  // logged column, a point per row, a chart per kind of quantity.
  std::map<QString, int> lines;
  QStringList axisTitles;
  for (QChart* chart : plot->Charts()) {
    for (const auto& [name, points] : PointsByName(chart)) lines[name] += points;
    axisTitles << chart->axes(Qt::Vertical).front()->titleText();
  }
  const std::map<QString, int> expected = {
      {"KWH (slot 1)", 130}, {"KWH (slot 2)", 130}, {"KW (slot 3)", 130}, {"PF", 130},         {"VLN", 130},
      {"AMPS-AVG", 130},     {"HZ", 130},           {"KW (slot 8)", 130}, {"KW (slot 9)", 130},
  };
  QCOMPARE(lines, expected);
  QCOMPARE(axisTitles, QStringList({"kWh", "kW", "PF", "V", "A", "Hz"}));
}

void ChartWindowsTest::plotRefusesAMalformedFile() {
  QTemporaryDir folder;
  const QString path = folder.filePath(QStringLiteral("03-data.csv"));
  WriteFile(path, "Data#, UTC, Date/Time,KW,,,,,,,,,\n1,0x6B16ABB6,Mon Dec 07 12:51:02 2026,1.000,,,,,,,,,\n"
                  "2,0x6B16A832,Mon Dec 07 12:36:02 2026,1.000,,,\n");
  MessageLog messages;
  QVERIFY(CLogPlotDlg::Open(nullptr, path) == nullptr);
  QCOMPARE(messages.texts, QStringList(QStringLiteral("\"%1\" is not a data file written by Pylax: line 3 does not "
                                                      "fit: 7 fields where the header has 13.")
                                           .arg(path)));
  QCOMPARE(messages.icons, std::vector<MessageIcon>{MessageIcon::Exclamation});
}

void ChartWindowsTest::plotMarksErrorsAndZooms() {
  QTemporaryDir folder;
  const QString path = folder.filePath(QStringLiteral("05-data.csv"));
  WriteFile(path,
            "Data#, UTC, Date/Time,KWH,KW,ERROR,,,,,,,,Error\n"
            "1,0x6B16ABB4,Mon Dec 07 12:51:00 2026,12.000,4.000,,,,,,,,,0x0004\n"
            "2,0x6B16AB78,Mon Dec 07 12:50:00 2026,11.000,,,,,,,,,,0x0000\n"
            "3,0x6B16AB3C,Mon Dec 07 12:49:00 2026,10.000,3.000,,,,,,,,,\n"
            "4,0x6B16AB00,Mon Dec 07 12:48:00 2026,9.000,2.000,,,,,,,,,0x8000\n");
  CLogPlotDlg* plot = CLogPlotDlg::Open(nullptr, path);
  QVERIFY(plot != nullptr);
  std::unique_ptr<CLogPlotDlg> owned(plot);
  QVERIFY(QTest::qWaitForWindowExposed(plot));
  const QList<QChart*> charts = plot->Charts();
  QCOMPARE(charts.size(), 2);
  // The empty kW field of row 2 splits its line; the marks sit at rows 1 and 4.
  QCOMPARE(PointsByName(charts[1]), (std::map<QString, int>{{"KW", 3}}));
  QCOMPARE(charts[1]->series().size(), 2);
  QScatterSeries* marks = nullptr;
  for (QAbstractSeries* series : charts[0]->series())
    if (auto* scatter = qobject_cast<QScatterSeries*>(series)) marks = scatter;
  QVERIFY(marks != nullptr);
  QCOMPARE(marks->count(), 2);
  QCOMPARE(QDateTime::fromMSecsSinceEpoch(qint64(marks->at(0).x())).toString(QStringLiteral("hh:mm")),
           QStringLiteral("12:51"));

  const auto span = [&charts](int chart) {
    auto* axis = static_cast<QDateTimeAxis*>(charts[chart]->axes(Qt::Horizontal).front());
    return std::pair(axis->min().toSecsSinceEpoch() % 3600, axis->max().toSecsSinceEpoch() % 3600);
  };
  const std::pair<qint64, qint64> whole{48 * 60, 51 * 60};
  QCOMPARE(span(0), whole);
  // A wheel step up over the middle of the lower chart narrows both charts'
  // time by a fifth around it; Home shows every row again.
  QChartView* lower = plot->findChildren<QChartView*>().at(1);
  const QPointF middle = lower->chart()->plotArea().center();
  QWheelEvent wheel(middle, lower->mapToGlobal(middle), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                    Qt::NoScrollPhase, false);
  QApplication::sendEvent(lower->viewport(), &wheel);
  const std::pair<qint64, qint64> narrowed{48 * 60 + 18, 51 * 60 - 18};
  QCOMPARE(span(0), narrowed);
  QCOMPARE(span(1), narrowed);
  QTest::keyClick(lower, Qt::Key_Home);
  QCOMPARE(span(0), whole);
  QCOMPARE(span(1), whole);
}

QTEST_MAIN(ChartWindowsTest)
#include "tst_chart_windows.moc"
