#include "charts/CTrendDlg.h"

#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>
#include <set>

#include "charts/chart_support.h"
#include "charts/chart_ticks.h"
#include "charts/plot_series.h"
#include "widgets/message_box.h"

namespace {
constexpr const char* kSpanNames[] = {"Last minute", "Last 10 minutes", "Last hour", "Last 6 hours", "Last 24 hours"};
// A meter's line style, by its place among the meters drawn.
constexpr Qt::PenStyle kMeterStyles[] = {Qt::SolidLine, Qt::DashLine, Qt::DotLine, Qt::DashDotLine,
                                         Qt::DashDotDotLine};
// Where lines are coloured by phase, a meter's legend entry shows its style alone.
const QColor kMeterEntryColour = Qt::darkGray;
constexpr int kLegendEntriesARow = 6;
constexpr int kLeastBuckets = 100;

// All, A, B, C: a phase's colour, the same in every quantity.
int PhaseOf(int channel) { return channel == 0 ? 0 : (channel - 1) % 4; }

QString AxisTitle(TrendQuantity quantity) {
  const QString name = QString::fromLatin1(TrendQuantityName(quantity));
  const QString unit = QString::fromLatin1(TrendQuantityUnit(quantity));
  return name == unit ? name : QStringLiteral("%1 (%2)").arg(name, unit);
}
// "last 6 hours", as a note names it.
std::string SpanName(int span) {
  std::string name = kSpanNames[span];
  name[0] = char(std::tolower(static_cast<unsigned char>(name[0])));
  return name;
}

// Every meter drawn: the one in full, several by their short names.
QString TitleOf(const std::vector<std::pair<std::string, std::string>>& meters) {
  if (meters.size() == 1) return QString::fromStdString(meters.front().first);
  QStringList names;
  for (const auto& meter : meters) names << QString::fromStdString(meter.second);
  return names.join(QStringLiteral(", "));
}

// The shortest span that holds every tick kept so far, so the window opens
// on them rather than on a chart mostly empty.
int SpanHolding(const TrendStore& store) {
  const int64_t kept = store.Count() > 0 ? QDateTime::currentMSecsSinceEpoch() - store.TimeAt(0) : 0;
  int span = 0;
  while (span + 1 < int(std::size(CTrendDlg::kSpansMs)) && CTrendDlg::kSpansMs[span] < kept) ++span;
  return span;
}
}  // namespace

CTrendDlg::CTrendDlg(const TrendStore& store, QWidget* owner) : QDialog(owner), m_store(store) {
  setWindowTitle(QStringLiteral("Trend"));
  MakeModelessWindow(*this);
  // Closed, the window only hides: opened again, it shows what it showed
  // (the quantity, the span) for as long as the console lives.
  setAttribute(Qt::WA_DeleteOnClose, false);

  m_quantity = new QComboBox;
  for (int q = 0; q < kTrendQuantities; ++q)
    m_quantity->addItem(QString::fromLatin1(TrendQuantityName(static_cast<TrendQuantity>(q))));
  m_span = new QComboBox;
  for (const char* name : kSpanNames) m_span->addItem(QString::fromLatin1(name));
  m_span->setCurrentIndex(SpanHolding(store));
  m_pause = new QPushButton(QStringLiteral("Pause"));
  auto* savePicture = new QPushButton(QStringLiteral("Save Picture..."));
  auto* saveData = new QPushButton(QStringLiteral("Save Data..."));
  auto* close = new QPushButton(QStringLiteral("Close"));
  for (QPushButton* button : {m_pause, savePicture, saveData, close}) button->setAutoDefault(false);

  auto* controls = new QHBoxLayout;
  controls->addWidget(new QLabel(QStringLiteral("Show:")));
  controls->addWidget(m_quantity);
  controls->addWidget(m_span);
  controls->addStretch();
  for (QPushButton* button : {m_pause, savePicture, saveData, close}) controls->addWidget(button);

  // Title, chart, legend, top to bottom; the axes stay, each redraw replaces
  // the lines.
  m_plot = new QCustomPlot;
  m_plot->setAutoAddPlottableToLegend(false);
  m_plot->setPlottingHint(QCP::phFastPolylines);
  m_timeAxis = m_plot->xAxis;
  m_valueAxis = m_plot->yAxis;
  m_timeAxis->setLabel(QStringLiteral("PC time"));
  UseRoundTicks(*m_plot, m_timeAxis, RoundTicker::Kind::Times);
  UseRoundTicks(*m_plot, m_valueAxis, RoundTicker::Kind::Values);
  m_title = new QCPTextElement(m_plot);
  m_plot->plotLayout()->insertRow(0);
  m_plot->plotLayout()->addElement(0, 0, m_title);
  m_legend = m_plot->legend;
  m_plot->axisRect()->insetLayout()->take(m_legend);
  m_plot->plotLayout()->addElement(2, 0, m_legend);
  m_legend->setVisible(true);
  m_legend->setFillOrder(QCPLegend::foColumnsFirst);
  m_legend->setWrap(kLegendEntriesARow);
  m_legend->setBorderPen(Qt::NoPen);
  m_plot->plotLayout()->setRowStretchFactor(0, 0.001);
  m_plot->plotLayout()->setRowStretchFactor(2, 0.001);
  // Under the chart: how much of the span the data fills, and where the
  // last save went.
  m_spanNote = new QLabel;
  m_savedNote = new QLabel;
  m_savedNote->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* notes = new QHBoxLayout;
  notes->addWidget(m_spanNote);
  notes->addStretch();
  notes->addWidget(m_savedNote);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(controls);
  layout->addWidget(m_plot, 1);
  layout->addLayout(notes);

  connect(m_quantity, &QComboBox::currentIndexChanged, this, &CTrendDlg::Redraw);
  connect(m_span, &QComboBox::currentIndexChanged, this, &CTrendDlg::Redraw);
  connect(m_pause, &QPushButton::clicked, this, &CTrendDlg::OnPause);
  connect(savePicture, &QPushButton::clicked, this, &CTrendDlg::OnSavePicture);
  connect(saveData, &QPushButton::clicked, this, &CTrendDlg::OnSaveData);
  connect(close, &QPushButton::clicked, this, &QDialog::close);
  // Resized, the lines are thinned again for the chart's new width.
  connect(m_plot, &QCustomPlot::afterLayout, this, [this] {
    if (Buckets() != m_drawnBuckets) Redraw();
  });
  Redraw();
  KeepRoomForLabels(*m_plot);
  PlaceOnScreen(*this, owner, QSize(900, 600));
}

QString CTrendDlg::Title() const { return m_title->text(); }

QString CTrendDlg::SavedNote() const { return m_savedNote->text(); }

QString CTrendDlg::SpanNote() const { return m_spanNote->text(); }

void CTrendDlg::Refresh() {
  if (!m_pausedAtMs && isVisible()) Redraw();
}

void CTrendDlg::showEvent(QShowEvent* event) {
  Redraw();  // the ticks that came while it was closed
  QDialog::showEvent(event);
}

void CTrendDlg::done(int result) {
  if (m_pausedAtMs) OnPause();  // opened again, it follows the poll, as a new window did
  QDialog::done(result);
}

void CTrendDlg::OnPause() {
  if (m_pausedAtMs)
    m_pausedAtMs.reset();
  else
    m_pausedAtMs = QDateTime::currentMSecsSinceEpoch();
  m_pause->setText(m_pausedAtMs ? QStringLiteral("Resume") : QStringLiteral("Pause"));
  Redraw();
}

int CTrendDlg::Buckets() const { return std::max(kLeastBuckets, m_plot->axisRect()->width()); }

QPen CTrendDlg::MeterPen(const std::string& meter, int channel, bool onePerMeter) {
  const int place = m_meterPlaces.emplace(meter, int(m_meterPlaces.size())).first->second;
  QPen pen(onePerMeter ? LineColor(place) : LineColor(PhaseOf(channel)), 1.5);
  pen.setStyle(kMeterStyles[place % std::size(kMeterStyles)]);
  return pen;
}

QCPGraph* CTrendDlg::LegendEntry(const QString& name, const QPen& pen) {
  QCPGraph* entry = m_plot->addGraph();  // no points: drawn in the legend only
  entry->setName(name);
  entry->setPen(pen);
  entry->addToLegend(m_legend);
  return entry;
}

void CTrendDlg::Redraw() {
  m_plot->clearGraphs();
  const auto quantity = static_cast<TrendQuantity>(std::max(0, m_quantity->currentIndex()));
  const int64_t toMs = m_pausedAtMs.value_or(QDateTime::currentMSecsSinceEpoch());
  const int span = std::max(0, m_span->currentIndex());
  int64_t fromMs = toMs - kSpansMs[span];
  // A span longer than the data kept shows the data's own span (a minute at
  // least, for the time axis to have ticks), and says that the rest fills in.
  const int64_t keptFromMs = m_store.Count() > 0 ? std::min(m_store.TimeAt(0), toMs) : toMs;
  const std::string note = KeptSpanNote(toMs - keptFromMs, kSpansMs[span], SpanName(span));
  if (!note.empty() && m_store.Count() > 1) fromMs = std::max(fromMs, std::min(keptFromMs, toMs - kSpansMs[0]));
  m_spanNote->setText(m_store.Count() > 1 ? QString::fromStdString(note) : QString());
  m_timeAxis->setRange(double(fromMs) / 1000.0, double(toMs) / 1000.0);
  m_valueAxis->setLabel(AxisTitle(quantity));

  // Two points (lowest, highest) for each pixel column at most.
  m_drawnBuckets = Buckets();
  const std::vector<int> channels = ChannelsOf(quantity);
  const std::vector<TrendLine> lines = m_store.Lines(channels, fromMs, toMs, m_drawnBuckets);
  const bool onePerMeter = channels.size() == 1;
  // One graph a meter and channel: a meter picked again carries on its own
  // line, broken where another meter came between.
  std::map<std::pair<std::string, int>, QCPGraph*> graphs;
  std::map<QRgb, QCPGraph*> dots;  // points with no neighbour, by colour
  std::vector<std::pair<std::string, std::string>> meters;  // name, short name
  std::set<int> phases;
  double low = std::numeric_limits<double>::infinity(), high = -low;
  for (const TrendLine& line : lines) {
    if (std::find_if(meters.begin(), meters.end(), [&](const auto& m) { return m.first == line.meter; }) ==
        meters.end())
      meters.emplace_back(line.meter, line.shortMeter);
    phases.insert(PhaseOf(line.channel));
    const QPen pen = MeterPen(line.meter, line.channel, onePerMeter);
    QCPGraph*& graph = graphs[{line.meter, line.channel}];
    if (graph == nullptr) {
      graph = m_plot->addGraph();
      graph->setPen(pen);
      graph->setName(QStringLiteral("%1 %2").arg(QString::fromStdString(line.shortMeter),
                                                 QString::fromLatin1(ChannelPhaseName(line.channel))));
    }
    for (const TrendSegment& segment : line.segments) {
      // A gap just before the segment parts it from the line so far.
      if (!graph->data()->isEmpty()) graph->addData((segment.front().first - 1) / 1000.0, qQNaN());
      for (const auto& [timeMs, value] : segment) {
        graph->addData(timeMs / 1000.0, value);
        low = std::min(low, value), high = std::max(high, value);
      }
      if (segment.size() > 1) continue;
      QCPGraph*& dot = dots[pen.color().rgb()];
      if (dot == nullptr) {
        dot = m_plot->addGraph();
        dot->setName(QString());  // not "Graph 3"
        dot->setLineStyle(QCPGraph::lsNone);
        dot->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssDisc, pen.color(), pen.color(), 5));
      }
      dot->addData(segment.front().first / 1000.0, segment.front().second);
    }
  }
  if (!onePerMeter)
    for (int phase : phases)
      LegendEntry(QString::fromLatin1(ChannelPhaseName(channels[phase])), QPen(LineColor(phase), 1.5));
  for (const auto& [meter, shortMeter] : meters) {
    QPen pen = MeterPen(meter, channels.front(), onePerMeter);
    if (!onePerMeter) pen.setColor(kMeterEntryColour);
    LegendEntry(QString::fromStdString(shortMeter), pen);
  }
  const auto [bottom, top] = FittedRange(low, high, LeastValueSpan(TrendQuantityUnit(quantity)));
  m_valueAxis->setRange(bottom, top);
  m_title->setText(TitleOf(meters));
  m_plot->replot(QCustomPlot::rpQueuedReplot);
}

bool CTrendDlg::SavePicture(const QString& path) {
  if (!SaveChartPicture(*this, *m_plot, path)) return false;
  SayWhereSaved(QStringLiteral("Picture"), path);
  return true;
}

void CTrendDlg::OnSavePicture() {
  const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save Picture"), QStringLiteral("trend.png"),
                                                    QStringLiteral("PNG pictures (*.png)"));
  if (!path.isEmpty()) SavePicture(path);
}

void CTrendDlg::SayWhereSaved(const QString& what, const QString& path) {
  m_savedNote->setText(QStringLiteral("%1 saved to \"%2\"").arg(what, QFileInfo(path).absoluteFilePath()));
}

bool CTrendDlg::SaveData(const QString& path) {
  FILE* file = std::fopen(path.toLocal8Bit().constData(), "w");
  const bool written = file != nullptr && m_store.WriteCsv(file);
  if (file != nullptr && std::fclose(file) == 0 && written) {
    SayWhereSaved(QStringLiteral("Data"), path);
    return true;
  }
  ShowAppMessage(this, QStringLiteral("Cannot write \"%1\".").arg(path));
  return false;
}

void CTrendDlg::OnSaveData() {
  const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save Data"), QStringLiteral("trend.csv"),
                                                    QStringLiteral("CSV files (*.csv)"));
  if (!path.isEmpty()) SaveData(path);
}
