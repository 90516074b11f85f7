// The trend window fed by the console's poll of qm4sim, and the plot of a
// file the logging window downloaded from it, driven as a person does, on a
// laptop's 1366 x 768 screen (tests/charts/laptop_screen.json).

#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QLocale>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <map>

#include "charts/CLogPlotDlg.h"
#include "charts/CTrendDlg.h"
#include "charts/chart_support.h"
#include "logging/CLoggingDlg.h"
#include "meter/reading_format.h"
#include "tests/gui/gui_support.h"
#include "tests/support/sim_process.h"

namespace {
// The console's reading fields and the trend quantity each shows.
const std::pair<int, TrendQuantity> kReadings[] = {
    {IDC_KWH, TrendQuantity::Kwh},         {IDC_KW, TrendQuantity::Kw},           {IDC_PF, TrendQuantity::Pf},
    {IDC_VOLTS_LL, TrendQuantity::VoltsLL}, {IDC_VOLTS_LN, TrendQuantity::VoltsLN}, {IDC_AMPS, TrendQuantity::Amps}};
// Room for a title bar above a window: taller than most window managers'.
constexpr int kTitleBar = 30;
const QSize kLaptop(1366, 768 - kTitleBar);

// The named lines of a plot (of one chart, if given) and their points.
std::map<QString, int> PointsByName(const QCustomPlot* plot, const QCPAxisRect* chart = nullptr) {
  std::map<QString, int> points;
  for (int g = 0; g < plot->graphCount(); ++g) {
    const QCPGraph* graph = plot->graph(g);
    if (graph->name().isEmpty() || graph->data()->isEmpty()) continue;
    if (chart != nullptr && graph->keyAxis()->axisRect() != chart) continue;
    for (const QCPGraphData& point : *graph->data()) points[graph->name()] += std::isnan(point.value) ? 0 : 1;
  }
  return points;
}

QStringList LegendNames(const QCPLegend* legend) {
  QStringList names;
  for (int i = 0; i < legend->itemCount(); ++i)
    if (auto* item = qobject_cast<QCPPlottableLegendItem*>(legend->item(i))) names << item->plottable()->name();
  return names;
}

QCPLegend* LegendOf(const CLogPlotDlg* plot, int chart) {
  const auto* side = qobject_cast<QCPLayoutGrid*>(plot->Plot()->plotLayout()->element(chart, 1));
  return side != nullptr ? qobject_cast<QCPLegend*>(side->element(0, 0)) : nullptr;
}

QCPGraph* GraphNamed(const QCustomPlot* plot, const QString& name) {
  for (int g = 0; g < plot->graphCount(); ++g)
    if (plot->graph(g)->name() == name) return plot->graph(g);
  return nullptr;
}

std::pair<double, double> Range(const QCPAxis* axis) { return {axis->range().lower, axis->range().upper}; }

// Laid out at the window's present size.
void Settle(QWidget* window, QCustomPlot* plot) {
  QApplication::sendPostedEvents();
  plot->replot();
  plot->replot();  // ticks made for the length the first layout measured
  QVERIFY(window->isVisible());
}

// Nothing of plot cut or crowded: at least two labels on each axis, the
// value labels within their chart's margin, only the lowest chart's time
// axis labelled and its labels apart, each legend inside the plot and as
// large as its names need.
void CheckLabelsWhole(QCustomPlot* plot) {
  const QList<QCPAxisRect*> charts = plot->axisRects();
  const QFontMetrics metrics(charts[0]->axis(QCPAxis::atLeft)->tickLabelFont());
  for (QCPAxisRect* chart : charts) {
    const QVector<QString> labels = chart->axis(QCPAxis::atLeft)->tickVectorLabels();
    QVERIFY(labels.size() >= 2);
    for (const QString& label : labels) QVERIFY(chart->left() >= metrics.horizontalAdvance(label) + metrics.height());
    QCOMPARE(chart->axis(QCPAxis::atBottom)->tickLabels(), chart == charts.back());
  }
  const QCPAxis* time = charts.back()->axis(QCPAxis::atBottom);
  const QVector<double> ticks = time->tickVector();
  QVERIFY(ticks.size() >= 2);
  for (int t = 1; t < ticks.size(); ++t)
    for (const QString& line : time->tickVectorLabels()[t].split(QLatin1Char('\n')))
      QVERIFY(time->coordToPixel(ticks[t]) - time->coordToPixel(ticks[t - 1]) > metrics.horizontalAdvance(line));
  for (QCPLayoutElement* element : plot->plotLayout()->elements(true))
    if (auto* legend = qobject_cast<QCPLegend*>(element)) {
      QVERIFY(plot->rect().contains(legend->outerRect()));
      QVERIFY(legend->outerRect().size().expandedTo(legend->minimumOuterSizeHint()) == legend->outerRect().size());
    }
}

// A window whose smallest size fits a laptop's screen with its title bar,
// read whole at that size and at the whole screen, its controls uncut.
void CheckEverySize(QWidget* window, QCustomPlot* plot) {
  const QSize least = window->minimumSizeHint();
  QVERIFY(least.boundedTo(kLaptop) == least);
  for (const QSize size : {least, kLaptop}) {
    window->resize(size);
    Settle(window, plot);
    CheckLabelsWhole(plot);
    for (QWidget* control : window->findChildren<QWidget*>())
      if (qobject_cast<QComboBox*>(control) || qobject_cast<QPushButton*>(control) || qobject_cast<QLabel*>(control))
        QVERIFY(control->width() >= control->sizeHint().width());
  }
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

// 60 days of 15-minute rows, newest first, with a daily load cycle: one
// column of each kind, and a second kW column logging the same as the first.
// The reader checks only the form of the Date/Time text.
QByteArray SixtyDays(qint64 newest) {
  QByteArray text = "Data#, UTC, Date/Time,KWH,KW,PF,VLN,AMPS-AVG,HZ,KW,,,\n";
  for (int row = 0; row < 5760; ++row) {
    const qint64 time = newest - row * 900;
    const QByteArray kw = QByteArray::number(100 + 60 * std::sin(double(time % 86400) / 86400 * 2 * M_PI), 'f', 3);
    text += QByteArray::number(row + 1) + ",0x" + QByteArray::number(time, 16).toUpper() +
            ",Mon Dec 07 12:45:00 2026," + QByteArray::number(5760 - row) + ".000," + kw + ",0.950,230.000," + kw +
            ",50.000," + kw + ",,,\n";
  }
  return text;
}
}  // namespace

class ChartWindowsTest : public ConsoleTestBase {
  Q_OBJECT

 private Q_SLOTS:
  void trendFollowsThePollAndNamesEachMeterOnce();
  void trendLeavesAGapForAFailedRead();
  void trendFitsItsAxesToTheDataAndSaysWhereItSaved();
  void trendOpensOnTheTicksKeptAndKeepsItsChoices();
  void plotOfADownload();
  void plotOfOneRowNoRowsAndNoPylaxFile();
  void plotOfOneRowSpansItsUnitsLeastSpan();
  void plotMarksErrorsAndZooms();
  void plotAlignsItsChartsAndBandsSixtyDays();
};

void ChartWindowsTest::trendFollowsThePollAndNamesEachMeterOnce() {
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
  QStringList lines;
  for (const auto& [name, points] : PointsByName(trend->Plot())) lines << name;
  QCOMPARE(lines, QStringList({"03 - QM4C All", "03 - QM4C Phase A", "03 - QM4C Phase B", "03 - QM4C Phase C"}));

  // Paused, the chart stands still while the ticks are kept; resumed, it follows.
  QTest::mouseClick(trend->PauseButton(), Qt::LeftButton);
  QCOMPARE(trend->PauseButton()->text(), QStringLiteral("Resume"));
  const double pausedAt = trend->Plot()->xAxis->range().upper;
  console.Tick();
  QCOMPARE(store.Count(), kTicks + 1);
  QCOMPARE(trend->Plot()->xAxis->range().upper, pausedAt);
  QTest::mouseClick(trend->PauseButton(), Qt::LeftButton);
  QVERIFY(trend->Plot()->xAxis->range().upper * 1000 >= double(store.TimeAt(kTicks)));

  QTemporaryDir folder;
  QVERIFY(trend->SaveData(folder.filePath(QStringLiteral("trend.csv"))));
  QFile data(folder.filePath(QStringLiteral("trend.csv")));
  QVERIFY(data.open(QIODevice::ReadOnly));
  QCOMPARE(data.readAll().count('\n'), store.Count() + 1);
  QVERIFY(trend->SavePicture(folder.filePath(QStringLiteral("trend.png"))));
  QCOMPARE(QImage(folder.filePath(QStringLiteral("trend.png"))).size(), trend->Plot()->size());
  MessageLog messages;  // the saved data is no download: the plot says so
  QVERIFY(CLogPlotDlg::Open(nullptr, data.fileName()) == nullptr);
  QCOMPARE(messages.texts, QStringList(QStringLiteral("\"%1\" is a trend file saved by the trend window, not a data "
                                                      "file downloaded from a meter: only those can be plotted.")
                                           .arg(data.fileName())));

  // Meter 3, meter 7, meter 3 again: each named once, each keeping its style.
  for (int row : {0, 1, 0}) {
    ClickLine(&console, row);
    console.Tick();
    console.Tick();
  }
  QCOMPARE(trend->Title(), QStringLiteral("03 - QM4C, 07 - QM4A"));  // every meter drawn
  QCOMPARE(LegendNames(trend->Legend()),
           QStringList({"All", "Phase A", "Phase B", "Phase C", "03 - QM4C", "07 - QM4A"}));
  QCOMPARE(GraphNamed(trend->Plot(), QStringLiteral("03 - QM4C All"))->pen().style(), Qt::SolidLine);
  QCOMPARE(GraphNamed(trend->Plot(), QStringLiteral("07 - QM4A All"))->pen().style(), Qt::DashLine);
  QCOMPARE(GraphNamed(trend->Plot(), QStringLiteral("07 - QM4A"))->pen().style(), Qt::DashLine);
  // The kWh: one line a meter, told apart by colour as well.
  trend->QuantityList()->setCurrentIndex(int(TrendQuantity::Kwh));
  QCOMPARE(LegendNames(trend->Legend()), QStringList({"03 - QM4C", "07 - QM4A"}));
  QVERIFY(GraphNamed(trend->Plot(), QStringLiteral("03 - QM4C All"))->pen().color() !=
          GraphNamed(trend->Plot(), QStringLiteral("07 - QM4A All"))->pen().color());
  QCOMPARE(trend->Plot()->yAxis->label(), QStringLiteral("kWh"));
  trend->QuantityList()->setCurrentIndex(int(TrendQuantity::VoltsLL));
  QCOMPARE(trend->Plot()->yAxis->label(), QStringLiteral("Volts L-L (V)"));

  // The whole day, of seconds kept: the seconds are drawn, and the rest said to come.
  trend->SpanList()->setCurrentIndex(4);
  Settle(trend, trend->Plot());
  QVERIFY(trend->SpanNote().endsWith(QLatin1String(" kept so far: more will fill the last 24 hours")));
  CheckEverySize(trend, trend->Plot());
}

// A steady kWh count on its unit's least span; a span longer than the data
// drawn as the data's own, saying more will fill it; each save says where.
void ChartWindowsTest::trendFitsItsAxesToTheDataAndSaysWhereItSaved() {
  SimProcess sim({"--static", "--meter", "9:QM4B"});
  QCOMPARE(sim.Command("setfloat 9 258 21809.2"), std::string("ok"));
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 9, 9);
  CTrendDlg* trend = OpenTrend(console);
  QVERIFY(trend != nullptr);
  console.Tick();
  console.Tick();
  trend->QuantityList()->setCurrentIndex(int(TrendQuantity::Kwh));
  const auto [low, high] = Range(trend->Plot()->yAxis);
  QVERIFY2(std::fabs(low - 21808.7) < 0.01 && std::fabs(high - 21809.7) < 0.01, qPrintable(QString::number(low)));
  QCOMPARE(trend->Title(), LineOf(&console, 0));  // the one meter, in full

  trend->SpanList()->setCurrentIndex(3);
  QVERIFY(qFuzzyCompare(trend->Plot()->xAxis->range().size(), 60.0));  // the data's own span, a minute at least
  QCOMPARE(trend->SpanNote(), QStringLiteral("0 s kept so far: more will fill the last 6 hours"));

  QTemporaryDir folder;
  const struct {
    QString button, file, said;
  } saves[] = {{"Save Data...", "kwh.csv", "Data saved to \"%1\""},
               {"Save Picture...", "kwh.png", "Picture saved to \"%1\""}};
  for (const auto& save : saves) {
    const QString path = folder.filePath(save.file);
    WhenModalOpens<QFileDialog>([&path](QFileDialog* dialog) {
      dialog->selectFile(path);
      static_cast<QDialog*>(dialog)->accept();  // its Save button
    });
    for (QPushButton* button : trend->findChildren<QPushButton*>())
      if (button->text() == save.button) QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(QFile::exists(path));
    QCOMPARE(trend->SavedNote(), save.said.arg(path));
  }
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
  // Drawn finely enough, every line breaks there, and nothing reads zero;
  // each lone tick shows as a dot.
  const int kw = ChannelsOf(TrendQuantity::Kw)[0];
  const std::vector<TrendLine> lines = store.Lines({kw}, store.TimeAt(0), store.TimeAt(2), 100000);
  QCOMPARE(lines.size(), size_t(1));
  QCOMPARE(lines[0].segments.size(), size_t(2));
  QCOMPARE(lines[0].segments[0].size() + lines[0].segments[1].size(), size_t(2));
  CTrendDlg* trend = OpenTrend(console);
  QVERIFY(trend != nullptr);
  trend->SpanList()->setCurrentIndex(0);
  QCOMPARE(PointsByName(trend->Plot()).at(QStringLiteral("03 - QM4C All")), 2);
  int dots = 0;
  for (int g = 0; g < trend->Plot()->graphCount(); ++g) {
    const QCPGraph* graph = trend->Plot()->graph(g);
    for (const QCPGraphData& point : *graph->data()) QVERIFY(point.value != 0.0);
    if (graph->lineStyle() == QCPGraph::lsNone) dots += graph->data()->size();
  }
  QCOMPARE(dots, 8);  // two ticks, four phases
}

void ChartWindowsTest::trendOpensOnTheTicksKeptAndKeepsItsChoices() {
  // Opened, the window shows the shortest span that holds every tick kept.
  const std::pair<std::vector<qint64>, QString> cases[] = {  // the ticks' ages, ms
      {{}, "Last minute"}, {{5 * 60000, 0}, "Last 10 minutes"}, {{30 * 3600000LL, 0}, "Last 24 hours"}};
  for (const auto& [ages, span] : cases) {
    TrendStore store;
    for (qint64 age : ages) store.Add(QDateTime::currentMSecsSinceEpoch() - age, Meter{3, ModelQM4C, "", ""}, TrendValues{});
    QCOMPARE(CTrendDlg(store, nullptr).SpanList()->currentText(), span);
  }
  // Closed and opened again, it shows the quantity and span picked before.
  SimProcess sim({"--meter", "3:QM4C", "--static"});
  TestConsole console;
  StartConsole(console);
  OpenSimulatorPort(console, sim, 3, 3);
  CTrendDlg* trend = OpenTrend(console);
  QVERIFY(trend != nullptr);
  QTest::keyClick(trend->QuantityList(), Qt::Key_Down);
  QTest::keyClick(trend->SpanList(), Qt::Key_Down);
  QTest::keyClick(trend, Qt::Key_Escape);
  QVERIFY(!trend->isVisible());
  QCOMPARE(OpenTrend(console), trend);
  QVERIFY(trend->isVisible());
  QCOMPARE(trend->QuantityList()->currentText(), QStringLiteral("PF"));
  QCOMPARE(trend->SpanList()->currentText(), QStringLiteral("Last 10 minutes"));
}

void ChartWindowsTest::plotOfADownload() {
  QTemporaryDir folder;
  const QString previous = QDir::currentPath();
  QDir::setCurrent(folder.path());
  SimProcess sim({"--meter", "3:QM4C", "--prefill", "130", "--static"});
  TestConsole console;
  StartConsole(console);
  // At the screen's top, where window managers put the first window: the
  // plot centred over it would reach above the screen.
  console.move(console.screen()->availableGeometry().topLeft());
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
  // On the screen with room for its title bar above.
  const QRect room = plot->screen()->availableGeometry();
  QVERIFY(room.contains(plot->frameGeometry()));
  QVERIFY(plot->geometry().top() >= room.top() + kTitleBar);
  // The simulator's slots 1, 2, 3, 6, 8, 9, 26, 261, 262 and 0: a line per
  // logged column, a point per row, a chart per kind of quantity; slot 2
  // logs what slot 1 does, slots 8 and 9 the float pair of slot 3's kW:
  // named so, and dashed over it.
  QStringList axisTitles;
  for (QCPAxisRect* chart : plot->Charts()) axisTitles << chart->axis(QCPAxis::atLeft)->label();
  QCOMPARE(axisTitles, QStringList({"kWh", "kW", "PF", "V", "A", "Hz"}));
  const std::map<QString, int> expected = {
      {"KWH (slot 1)", 130}, {"KWH (slot 2) = KWH (slot 1)", 130}, {"KW (slot 3)", 130}, {"PF", 130},
      {"VLN", 130},          {"AMPS-AVG", 130},  {"HZ", 130},  {"KW (slot 8) ≈ KW (slot 3)", 130},
      {"KW (slot 9) ≈ KW (slot 3)", 130},
  };
  QCOMPARE(PointsByName(plot->Plot()), expected);
  QCOMPARE(LegendNames(LegendOf(plot, 1)),
           QStringList({"KW (slot 3)", "KW (slot 8) ≈ KW (slot 3)", "KW (slot 9) ≈ KW (slot 3)"}));
  // Each dashed line covers its own third, slot 3's line shows in the last.
  const QPen slot3 = GraphNamed(plot->Plot(), QStringLiteral("KW (slot 3)"))->pen();
  const QPen slot8 = GraphNamed(plot->Plot(), QStringLiteral("KW (slot 8) ≈ KW (slot 3)"))->pen();
  const QPen slot9 = GraphNamed(plot->Plot(), QStringLiteral("KW (slot 9) ≈ KW (slot 3)"))->pen();
  QCOMPARE(slot3.style(), Qt::SolidLine);
  QCOMPARE(slot8.dashPattern(), QList<qreal>({5, 10}));
  QCOMPARE(slot9.dashPattern(), QList<qreal>({5, 10}));
  QCOMPARE(slot8.dashOffset(), 0.0);
  QCOMPARE(slot9.dashOffset(), 5.0);
  plot->close();
}

void ChartWindowsTest::plotOfOneRowNoRowsAndNoPylaxFile() {
  QTemporaryDir folder;
  const QString path = folder.filePath(QStringLiteral("03-data.csv"));
  MessageLog messages;
  struct Case {
    QByteArray text;
    QString message;  // none: a plot opens
    MessageIcon icon;
  };
  const Case cases[] = {
      {"Data#, UTC, Date/Time,KW,,,,,,,,,\n", QStringLiteral("No log entries in %1").arg(path), MessageIcon::Information},
      {"Data#, UTC, Date/Time,KW,,,,,,,,,\n1,0x6B16ABB6,Mon Dec 07 12:51:02 2026,1.000,,,,,,,,,\n"
       "2,0x6B16A832,Mon Dec 07 12:36:02 2026,1.000,,,\n",
       QStringLiteral("\"%1\" is not a data file written by Pylax: line 3 does not fit: 7 fields where the header "
                      "has 13.")
           .arg(path),
       MessageIcon::Exclamation},
      {"Data#, UTC, Date/Time,VLN,,,,,,,,,\n1,0x6B16ABB6,Mon Dec 07 12:51:02 2026,230.000,,,,,,,,,\n", QString(),
       MessageIcon::None},
  };
  for (const Case& c : cases) {
    messages.Clear();
    WriteFile(path, c.text);
    std::unique_ptr<CLogPlotDlg> plot(CLogPlotDlg::Open(nullptr, path));
    QCOMPARE(messages.texts, c.message.isEmpty() ? QStringList() : QStringList(c.message));
    QCOMPARE(messages.icons, c.message.isEmpty() ? std::vector<MessageIcon>() : std::vector<MessageIcon>{c.icon});
    QCOMPARE(plot == nullptr, !c.message.isEmpty());
  }

  // One row: its point in the middle of an hour, ticks on whole steps, each
  // label once.
  WriteFile(path, cases[2].text);
  std::unique_ptr<CLogPlotDlg> plot(CLogPlotDlg::Open(nullptr, path));
  QVERIFY(QTest::qWaitForWindowExposed(plot.get()));
  Settle(plot.get(), plot->Plot());
  const QCPAxisRect* chart = plot->Charts().front();
  QCOMPARE(Range(chart->axis(QCPAxis::atBottom)), std::pair(1796647862.0 - 1800, 1796647862.0 + 1800));
  QCOMPARE(Range(chart->axis(QCPAxis::atLeft)), std::pair(218.5, 241.5));
  const QCPGraph* dots = nullptr;
  for (int g = 0; g < plot->Plot()->graphCount(); ++g)
    if (plot->Plot()->graph(g)->lineStyle() == QCPGraph::lsNone) dots = plot->Plot()->graph(g);
  QVERIFY(dots != nullptr && dots->data()->size() == 1);
  QCOMPARE(dots->data()->at(0)->value, 230.0);
  for (const QCPAxis* axis : {chart->axis(QCPAxis::atBottom), chart->axis(QCPAxis::atLeft)}) {
    const QVector<QString> labels = axis->tickVectorLabels();
    QVERIFY(labels.size() >= 3);
    QCOMPARE(QSet<QString>(labels.begin(), labels.end()).size(), labels.size());
  }
}

void ChartWindowsTest::plotOfOneRowSpansItsUnitsLeastSpan() {
  QTemporaryDir folder;
  const QString path = folder.filePath(QStringLiteral("03-data.csv"));
  // One row, two columns of a unit a thousandth apart: the value axis spans
  // the unit's least span around them, not their last digit's difference.
  const struct {
    const char *label, *low, *high;
    double bottom, top;
  } cases[] = {
      {"KWH", "1234.000", "1234.001", 1233.5005, 1234.5005}, {"KVARH", "0.000", "0.001", 0, 1},
      {"KW", "1.000", "1.001", 0.9505, 1.0505},               {"KVAR", "-1.000", "-0.999", -1.0495, -0.9495},
      {"KVA", "0.000", "0.001", 0, 0.1},                      {"PF", "0.950", "0.951", 0.9455, 0.9555},
      {"VLN", "230.000", "230.001", 229.5005, 230.5005},      {"AMPS-AVG", "5.000", "5.001", 4.9505, 5.0505},
      {"HZ", "50.000", "50.001", 49.9505, 50.0505},
  };
  for (const auto& c : cases) {
    WriteFile(path, QByteArray("Data#, UTC, Date/Time,") + c.label + "," + c.label + ",,,,,,,,\n" +
                        "1,0x6B16ABB6,Mon Dec 07 12:51:02 2026," + c.low + "," + c.high + ",,,,,,,,\n");
    std::unique_ptr<CLogPlotDlg> plot(CLogPlotDlg::Open(nullptr, path));
    const auto [bottom, top] = Range(plot->Charts().front()->axis(QCPAxis::atLeft));
    QVERIFY2(std::fabs(bottom - c.bottom) < 1e-3 && std::fabs(top - c.top) < 1e-3, c.label);
  }
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
  std::unique_ptr<CLogPlotDlg> plot(CLogPlotDlg::Open(nullptr, path));
  QVERIFY(plot != nullptr);
  QVERIFY(QTest::qWaitForWindowExposed(plot.get()));
  Settle(plot.get(), plot->Plot());
  const QList<QCPAxisRect*> charts = plot->Charts();
  QCOMPARE(charts.size(), 2);
  // The empty kW field of row 2 splits its line; the marks sit at rows 1
  // and 4 along the top chart, in a colour no line has.
  QCOMPARE(PointsByName(plot->Plot(), charts[1]), (std::map<QString, int>{{"KW", 3}}));
  const QCPGraph* marks = GraphNamed(plot->Plot(), QStringLiteral("Error word not 0"));
  QVERIFY(marks != nullptr);
  QCOMPARE(marks->keyAxis()->axisRect(), charts[0]);
  QCOMPARE(marks->data()->size(), 2);
  QCOMPARE(marks->data()->at(0)->key, 1796647680.0);
  QCOMPARE(marks->data()->at(1)->key, 1796647860.0);
  const QColor markColour = marks->scatterStyle().pen().color();
  for (int g = 0; g < plot->Plot()->graphCount(); ++g)
    if (plot->Plot()->graph(g) != marks) QVERIFY(plot->Plot()->graph(g)->pen().color() != markColour);
  QCOMPARE(LegendNames(LegendOf(plot.get(), 0)), QStringList({"KWH", "Error word not 0"}));

  const auto spans = [&charts] {
    return std::pair(Range(charts[0]->axis(QCPAxis::atBottom)), Range(charts[1]->axis(QCPAxis::atBottom)));
  };
  const auto both = [](double from, double to) { return std::pair(std::pair(from, to), std::pair(from, to)); };
  const double start = 1796647680;  // 12:48
  QCOMPARE(spans(), both(start, start + 180));
  QCOMPARE(Range(charts[1]->axis(QCPAxis::atLeft)), std::pair(1.9, 4.1));
  QCustomPlot* view = plot->Plot();
  const auto wheel = [view](QPointF at, int turn, Qt::KeyboardModifiers modifiers) {
    QWheelEvent event(at, view->mapToGlobal(at), QPoint(), QPoint(0, turn), Qt::NoButton, modifiers,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(view, &event);
  };
  // A wheel step up over the middle of the lower chart narrows both charts'
  // time by a fifth around it; Shift moves it a tenth; Home shows it all.
  const QPointF middle(charts[1]->axis(QCPAxis::atBottom)->coordToPixel(start + 90), charts[1]->rect().center().y());
  wheel(middle, 120, Qt::NoModifier);
  QCOMPARE(spans(), both(start + 18, start + 162));
  wheel(middle, -120, Qt::ShiftModifier);
  QCOMPARE(spans(), both(start + 18 + 14.4, start + 162 + 14.4));
  QTest::keyClick(plot.get(), Qt::Key_Home);
  QCOMPARE(spans(), both(start, start + 180));
  // A drag across 12:48:45 .. 12:49:45 shows that minute, the values following
  // (3 kW alone, and the lines to the rows either side); a right click steps back.
  Settle(plot.get(), view);
  const QCPAxis* time = charts[1]->axis(QCPAxis::atBottom);
  const int y = charts[1]->rect().center().y();
  const QPoint from(int(std::lround(time->coordToPixel(start + 45))), y), to(int(std::lround(time->coordToPixel(start + 105))), y);
  QTest::mousePress(view, Qt::LeftButton, {}, from);
  QTest::mouseMove(view, to);
  QTest::mouseRelease(view, Qt::LeftButton, {}, to);
  const auto [left, right] = Range(time);
  QVERIFY2(std::fabs(left - (start + 45)) < 1 && std::fabs(right - (start + 105)) < 1, qPrintable(QString::number(left)));
  QCOMPARE(Range(charts[1]->axis(QCPAxis::atLeft)), std::pair(2.5, 3.5));
  // Within one day, the first time label still names it.
  Settle(plot.get(), view);
  const QString day = QLocale::c().toString(QDateTime::fromSecsSinceEpoch(qint64(start)), QStringLiteral("dd MMM"));
  QVERIFY2(time->tickVectorLabels().front().endsWith(QLatin1Char('\n') + day),
           qPrintable(time->tickVectorLabels().front()));
  QTest::mouseClick(view, Qt::RightButton, {}, to);
  QCOMPARE(spans(), both(start, start + 180));
  QTest::keyClick(plot.get(), Qt::Key_Right);  // the whole file: nowhere to go
  QCOMPARE(spans(), both(start, start + 180));

  // "Save Picture...", a name picked in the file dialog: the charts as a PNG.
  const QString picture = folder.filePath(QStringLiteral("zoomed.png"));
  WhenModalOpens<QFileDialog>([&picture](QFileDialog* dialog) {
    dialog->selectFile(picture);
    static_cast<QDialog*>(dialog)->accept();  // its Save button
  });
  auto* savePicture = plot->findChild<QPushButton*>();
  QCOMPARE(savePicture->text(), QStringLiteral("Save Picture..."));
  QTest::mouseClick(savePicture, Qt::LeftButton);
  QCOMPARE(QImage(picture).size(), view->size());
}

void ChartWindowsTest::plotAlignsItsChartsAndBandsSixtyDays() {
  QTemporaryDir folder;
  const QString path = folder.filePath(QStringLiteral("03-data.csv"));
  const qint64 newest = 1796647500;  // Mon 07 Dec 2026 12:45 UTC
  WriteFile(path, SixtyDays(newest));
  std::unique_ptr<CLogPlotDlg> plot(CLogPlotDlg::Open(nullptr, path));
  QVERIFY(plot != nullptr);
  QVERIFY(QTest::qWaitForWindowExposed(plot.get()));
  CheckEverySize(plot.get(), plot->Plot());
  const QList<QCPAxisRect*> charts = plot->Charts();
  QCOMPARE(charts.size(), 6);
  // The lowest chart's time labels take no height from its plot area.
  for (const QCPAxisRect* chart : charts) {
    QCOMPARE(chart->left(), charts[0]->left());
    QCOMPARE(chart->right(), charts[0]->right());
    QVERIFY2(std::abs(chart->height() - charts[0]->height()) <= 1, qPrintable(QString::number(chart->height())));
  }
  // 5760 rows in fewer than 700 pixels: a band a line, a point per two pixels.
  const QCPGraph* kw = GraphNamed(plot->Plot(), QStringLiteral("KW (slot 2)"));
  QVERIFY(kw->data()->size() <= charts[1]->width() / 2);
  int banded = 0;
  for (int g = 0; g < plot->Plot()->graphCount(); ++g)
    banded += plot->Plot()->graph(g)->channelFillGraph() != nullptr && !plot->Plot()->graph(g)->data()->isEmpty();
  QCOMPARE(banded, 6);  // the second kW lies on the first, its band too
  // A day of them: the rows themselves, and the one either side.
  plot->ShowTime(double(newest - 86400), double(newest));
  QCOMPARE(kw->data()->size(), 97 + 1);
  for (int g = 0; g < plot->Plot()->graphCount(); ++g)
    if (plot->Plot()->graph(g)->channelFillGraph() != nullptr) QVERIFY(plot->Plot()->graph(g)->data()->isEmpty());
}

QTEST_MAIN(ChartWindowsTest)
#include "tst_chart_windows.moc"
