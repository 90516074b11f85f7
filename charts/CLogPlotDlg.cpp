#include "charts/CLogPlotDlg.h"

#include <QApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPushButton>
#include <QRubberBand>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>

#include "charts/chart_support.h"
#include "charts/chart_ticks.h"
#include "charts/plot_series.h"
#include "widgets/message_box.h"

namespace {
// One turn step of the wheel narrows the shown time by a fifth; Shift and
// the wheel, or an arrow key, move it by a tenth of itself.
constexpr double kWheelZoom = 0.8;
constexpr double kPanStep = 0.1;
// No narrower than the meter's shortest time step.
constexpr double kLeastSpan = 10;
// A file of one row: an hour around it, its point in the middle.
constexpr double kLoneRowSpan = 3600;
// A band's slices are two pixels wide.
constexpr int kPixelsPerSlice = 2;
constexpr int kSlicesBeforeLayout = 500;
constexpr int kChartMinimumWidth = 320;
constexpr int kChartMinimumHeight = 50;
constexpr int kLeastDragPixels = 4;
// Dashes of a line lying on an earlier one: the first of n such lines covers
// a nth of its length, the next the following nth, the earlier line shows
// in the rest.
constexpr qreal kDash = 5;
constexpr int kBandAlpha = 60;

// The charts hand the wheel and the mouse to their window: the wheel zooms
// the time (pans it with Shift), a drag selects a span, a right click steps
// back.
class ZoomPlot : public QCustomPlot {
 public:
  struct Actions {
    std::function<void(double at, double factor)> zoom;
    std::function<void(double fraction)> pan;
    std::function<void(double from, double to)> select;
    std::function<void()> back;
  };
  explicit ZoomPlot(Actions actions) : actions_(std::move(actions)), band_(new QRubberBand(QRubberBand::Rectangle, this)) {}

 protected:
  void wheelEvent(QWheelEvent* event) override {
    QCPAxisRect* chart = axisRectAt(event->position());
    const int turn = event->angleDelta().y();
    if (chart == nullptr || turn == 0) return;
    if (event->modifiers() & Qt::ShiftModifier)
      actions_.pan(turn > 0 ? -kPanStep : kPanStep);
    else
      actions_.zoom(chart->axis(QCPAxis::atBottom)->pixelToCoord(event->position().x()),
                    turn > 0 ? kWheelZoom : 1 / kWheelZoom);
    event->accept();
  }
  void mousePressEvent(QMouseEvent* event) override {
    if (event->button() != Qt::LeftButton || axisRectAt(event->position()) == nullptr) return;
    pressedAt_ = event->position().x();
    band_->setGeometry(Band(pressedAt_));
    band_->show();
  }
  void mouseMoveEvent(QMouseEvent* event) override {
    if (band_->isVisible()) band_->setGeometry(Band(event->position().x()));
  }
  void mouseReleaseEvent(QMouseEvent* event) override {
    if (event->button() == Qt::RightButton) {
      actions_.back();
      return;
    }
    if (event->button() != Qt::LeftButton || !band_->isVisible()) return;
    band_->hide();
    const double x = event->position().x();
    if (std::fabs(x - pressedAt_) < kLeastDragPixels) return;
    const QCPAxis* time = axisRect()->axis(QCPAxis::atBottom);
    actions_.select(time->pixelToCoord(std::min(x, pressedAt_)), time->pixelToCoord(std::max(x, pressedAt_)));
  }

 private:
  // From where the drag began to x, over every chart.
  QRect Band(double x) const {
    const QList<QCPAxisRect*> charts = axisRects();
    const int top = charts.front()->top(), bottom = charts.back()->bottom();
    const int left = int(std::min(x, pressedAt_)), right = int(std::max(x, pressedAt_));
    return QRect(left, top, right - left + 1, bottom - top + 1);
  }

  Actions actions_;
  QRubberBand* band_;
  double pressedAt_ = 0;
};

// The kinds logged, in the order of the charts; a chart for the times and
// the error marks where no column holds values.
std::vector<ColumnKind> ChartKinds(const LogTable& table) {
  std::vector<ColumnKind> kinds;
  for (int kind = 0; kind < kColumnKinds; ++kind)
    if (std::any_of(table.columns.begin(), table.columns.end(),
                    [kind](const LogColumn& column) { return int(column.kind) == kind; }))
      kinds.push_back(static_cast<ColumnKind>(kind));
  if (kinds.empty()) kinds.push_back(ColumnKind::Power);
  return kinds;
}

QString UnitsOf(const LogTable& table, ColumnKind kind) {
  QStringList units;
  for (const LogColumn& column : table.columns)
    if (column.kind == kind && !units.contains(QString::fromStdString(column.unit)))
      units.append(QString::fromStdString(column.unit));
  return units.join(QStringLiteral(", "));
}

// The widest of the least spans of the kind's units.
double LeastSpanOf(const LogTable& table, ColumnKind kind) {
  double least = 0;
  for (const LogColumn& column : table.columns)
    if (column.kind == kind) least = std::max(least, LeastValueSpan(column.unit));
  return least;
}

QVector<double> Vector(const std::vector<double>& values) { return QVector<double>(values.begin(), values.end()); }

// Widens [low, high] by the values of a picture's points within [from, to].
void Widen(const ColumnPicture& picture, double from, double to, double& low, double& high) {
  for (size_t i = 0; i < picture.times.size(); ++i) {
    if (picture.times[i] < from || picture.times[i] > to) continue;
    for (const std::vector<double>* values : {&picture.values, &picture.lows, &picture.highs})
      if (i < values->size() && std::isfinite((*values)[i]))
        low = std::min(low, (*values)[i]), high = std::max(high, (*values)[i]);
  }
}
}  // namespace

std::optional<CLogPlotDlg::Refusal> CLogPlotDlg::Read(const QString& path, LogTable& table) {
  LogFileError error;
  if (!ReadLogFile(path.toStdString(), table, error)) return Refusal{RefusalText(path, error), MessageIcon::Exclamation};
  if (table.RowCount() == 0) return Refusal{NoEntriesText(path), MessageIcon::Information};
  return std::nullopt;
}

CLogPlotDlg* CLogPlotDlg::Show(LogTable table, const QString& path, QWidget* owner) {
  auto* plot = new CLogPlotDlg(std::move(table), path, owner);
  plot->show();
  return plot;
}

CLogPlotDlg* CLogPlotDlg::Open(QWidget* owner, const QString& path) {
  LogTable table;
  if (const std::optional<Refusal> refusal = Read(path, table)) {
    ShowAppMessage(owner, refusal->text, refusal->icon);
    return nullptr;
  }
  return Show(std::move(table), path, owner);
}

int CLogPlotDlg::RunStandalone(int& argc, char** argv, const QString& path) {
  QApplication application(argc, argv);
  LogTable table;
  if (const std::optional<Refusal> refusal = Read(path, table)) {
    // Started from a terminal or a script, the message is read there too.
    std::fprintf(stderr, "pylax: %s\n", refusal->text.toLocal8Bit().constData());
    std::fflush(stderr);
    ShowAppMessage(nullptr, refusal->text, refusal->icon);
    return 1;
  }
  Show(std::move(table), path, nullptr);
  return application.exec();
}

QString CLogPlotDlg::RefusalText(const QString& path, const LogFileError& error) {
  const QString reason = QString::fromStdString(error.reason);
  if (error.trendFile)
    return QStringLiteral("\"%1\" is a trend file saved by the trend window, not a data file downloaded from a "
                          "meter: only those can be plotted.")
        .arg(path);
  if (error.line == 0) return QStringLiteral("Cannot read \"%1\": %2.").arg(path, reason);
  return QStringLiteral("\"%1\" is not a data file written by Pylax: line %2 does not fit: %3.")
      .arg(path)
      .arg(error.line)
      .arg(reason);
}

QString CLogPlotDlg::NoEntriesText(const QString& path) { return QStringLiteral("No log entries in %1").arg(path); }

CLogPlotDlg::CLogPlotDlg(LogTable table, const QString& path, QWidget* owner)
    : QDialog(owner), m_table(std::move(table)) {
  setWindowTitle(QStringLiteral("Plot of %1").arg(QFileInfo(path).fileName()));
  MakeModelessWindow(*this);
  m_rows = RowsByTime(m_table);
  m_coinciding = CoincidingColumns(m_table);
  // Rows whose times the download could not write: around now, drawing nothing.
  const double now = double(QDateTime::currentSecsSinceEpoch());
  m_first = m_rows.empty() ? now : double(m_table.times[m_rows.front()]);
  m_last = m_rows.empty() ? now : double(m_table.times[m_rows.back()]);
  if (m_first == m_last) m_first -= kLoneRowSpan / 2, m_last += kLoneRowSpan / 2;
  m_from = m_first;
  m_to = m_last;

  m_plot = new ZoomPlot({[this](double at, double factor) { ZoomTime(at, factor); },
                         [this](double fraction) { Pan(fraction); },
                         [this](double from, double to) {
                           Remember();
                           ShowTime(from, to);
                         },
                         [this] { StepBack(); }});
  m_plot->plotLayout()->clear();  // the charts below replace the default one
  m_plot->setAutoAddPlottableToLegend(false);
  m_plot->setPlottingHint(QCP::phFastPolylines);
  // Bands of 550 slices filled with antialiasing take three times as long to
  // draw; their lines over them stay smooth.
  m_plot->setNotAntialiasedElements(QCP::aeFills);
  AddCharts();

  auto* savePicture = new QPushButton(QStringLiteral("Save Picture..."));
  savePicture->setAutoDefault(false);
  const QString pictureName = QFileInfo(path).completeBaseName() + QStringLiteral(".png");
  connect(savePicture, &QPushButton::clicked, this,
          [this, pictureName] { AskAndSaveChartPicture(*this, *m_plot, pictureName); });
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(savePicture);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->addWidget(m_plot, 1);
  layout->addLayout(buttons);
  Redraw();
  KeepRoomForLabels(*m_plot);
  PlaceOnScreen(*this, owner, QSize(1100, 100 + 150 * int(m_charts.size())));
  connect(m_plot, &QCustomPlot::afterLayout, this, [this] {
    EvenChartHeights();
    if (Slices() != m_drawnSlices) Redraw();
  });
}

void CLogPlotDlg::AddCharts() {
  auto* aligned = new QCPMarginGroup(m_plot);
  bool withErrors = m_table.hasErrorColumn;
  for (ColumnKind kind : ChartKinds(m_table)) {
    const auto [chart, legend] = AddChart(kind);
    chart->setMarginGroup(QCP::msLeft | QCP::msRight, aligned);
    AddLines(chart, legend, kind);
    m_leastSpans.push_back(LeastSpanOf(m_table, kind));
    if (withErrors) AddErrorMarks(chart, legend);
    withErrors = false;  // the marks go into the topmost chart only
  }
  // One set of time labels, under the lowest chart.
  QCPAxis* time = m_charts.back()->axis(QCPAxis::atBottom);
  time->setTickLabels(true);
  time->setLabel(QStringLiteral("Local time"));
  m_plot->plotLayout()->setColumnStretchFactor(1, 0.001);  // the legends as narrow as their names
}

std::pair<QCPAxisRect*, QCPLegend*> CLogPlotDlg::AddChart(ColumnKind kind) {
  const int row = int(m_charts.size());
  auto* chart = new QCPAxisRect(m_plot);
  m_plot->plotLayout()->addElement(row, 0, chart);
  chart->setMinimumSize(kChartMinimumWidth, kChartMinimumHeight);
  UseRoundTicks(*m_plot, chart->axis(QCPAxis::atBottom), RoundTicker::Kind::DatedTimes);
  UseRoundTicks(*m_plot, chart->axis(QCPAxis::atLeft), RoundTicker::Kind::Values);
  chart->axis(QCPAxis::atBottom)->setTickLabels(false);
  chart->axis(QCPAxis::atLeft)->grid()->setZeroLinePen(Qt::NoPen);  // a counter's zero is no special line
  chart->axis(QCPAxis::atLeft)->setLabel(UnitsOf(m_table, kind));
  // The legend at the top of the chart's right side, as tall as its names.
  auto* side = new QCPLayoutGrid;
  m_plot->plotLayout()->addElement(row, 1, side);
  auto* legend = new QCPLegend;
  side->addElement(0, 0, legend);
  side->addElement(1, 0, new QCPLayoutElement(m_plot));
  side->setRowStretchFactor(0, 0.001);
  legend->setLayer(QStringLiteral("legend"));
  legend->setBorderPen(Qt::NoPen);
  m_charts.append(chart);
  return {chart, legend};
}

void CLogPlotDlg::AddLines(QCPAxisRect* chart, QCPLegend* legend, ColumnKind kind) {
  QCPAxis* time = chart->axis(QCPAxis::atBottom);
  QCPAxis* values = chart->axis(QCPAxis::atLeft);
  int n = 0;
  for (int c = 0; c < int(m_table.columns.size()); ++c) {
    const LogColumn& column = m_table.columns[c];
    if (column.kind != kind) continue;
    const QColor colour = LineColor(n++);
    QPen pen(colour, 1.5);
    QString name = QString::fromStdString(column.name);
    if (const int under = m_coinciding[c].under; under >= 0) {
      const auto over = [under](const Coinciding& other) { return other.under == under; };
      const int lying = int(std::count_if(m_coinciding.begin(), m_coinciding.end(), over));
      const int place = int(std::count_if(m_coinciding.begin(), m_coinciding.begin() + c, over));
      pen.setDashPattern({kDash, kDash * lying});
      pen.setDashOffset(kDash * place);
      name += (m_coinciding[c].exact ? QStringLiteral(" = ") : QStringLiteral(" ≈ ")) +
              QString::fromStdString(m_table.columns[under].name);
    }
    // Drawn in the order made: the band (its high edge filled down to its
    // low one), the line over it, the dots on top.
    Line line{c, nullptr, nullptr, nullptr, nullptr};
    line.low = m_plot->addGraph(time, values);
    line.high = m_plot->addGraph(time, values);
    line.line = m_plot->addGraph(time, values);
    line.dots = m_plot->addGraph(time, values);
    for (QCPGraph* helper : {line.low, line.high, line.dots}) helper->setName(QString());  // not "Graph 3"
    line.low->setPen(Qt::NoPen);
    line.high->setPen(Qt::NoPen);
    QColor fill = colour;
    fill.setAlpha(kBandAlpha);
    // A line lying on an earlier one would lay its band over that one's.
    if (m_coinciding[c].under < 0) {
      line.high->setBrush(fill);
      line.high->setChannelFillGraph(line.low);
    }
    line.line->setPen(pen);
    line.line->setName(name);
    line.line->addToLegend(legend);
    line.dots->setLineStyle(QCPGraph::lsNone);
    line.dots->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssDisc, colour, colour, 6));
    m_lines.push_back(line);
  }
}

void CLogPlotDlg::AddErrorMarks(QCPAxisRect* chart, QCPLegend* legend) {
  // Along the chart's top edge, on an axis of their own.
  QCPAxis* markAxis = chart->axis(QCPAxis::atRight);
  markAxis->setRange(0, 1);
  auto* marks = m_plot->addGraph(chart->axis(QCPAxis::atBottom), markAxis);
  marks->setName(QStringLiteral("Error word not 0"));
  marks->setLineStyle(QCPGraph::lsNone);
  marks->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssCross, QPen(ErrorMarkColor(), 2), Qt::NoBrush, 9));
  for (int row : m_rows)
    if (m_table.errorWords[row] > 0) marks->addData(double(m_table.times[row]), 0.94);
  marks->addToLegend(legend);
}

void CLogPlotDlg::EvenChartHeights() {
  // Each row as tall as its chart's margins (the lowest one's hold the time
  // labels) plus an even share of what the margins leave.
  QCPLayoutGrid* rows = m_plot->plotLayout();
  int shared = 0, lowest = std::numeric_limits<int>::max(), highest = 0;
  for (const QCPAxisRect* chart : m_charts) {
    shared += chart->rect().height();
    lowest = std::min(lowest, chart->rect().height());
    highest = std::max(highest, chart->rect().height());
  }
  if (highest - lowest <= 1) return;  // a pixel of rounding
  bool changed = false;
  for (int row = 0; row < int(m_charts.size()); ++row) {
    const QCPAxisRect* chart = m_charts[row];
    const double factor = double(shared) / m_charts.size() + chart->outerRect().height() - chart->rect().height();
    changed = changed || std::fabs(rows->rowStretchFactors()[row] - factor) >= 1;
    rows->setRowStretchFactor(row, factor);
  }
  // Unchanged, the rows are held at their least heights: evening them is
  // left for a larger window.
  if (changed) m_plot->replot(QCustomPlot::rpQueuedReplot);
}

int CLogPlotDlg::Slices() const {
  const int width = m_charts.front()->width();
  return width > 0 ? std::max(1, width / kPixelsPerSlice) : kSlicesBeforeLayout;
}

void CLogPlotDlg::Redraw() {
  m_drawnSlices = Slices();
  std::vector<std::pair<double, double>> bounds(m_charts.size(), {std::numeric_limits<double>::infinity(),
                                                                  -std::numeric_limits<double>::infinity()});
  for (const Line& line : m_lines) {
    const ColumnPicture picture = PictureOf(m_table, m_rows, m_table.columns[line.column], m_from, m_to, m_drawnSlices);
    const QVector<double> times = Vector(picture.times);
    line.line->setData(times, Vector(picture.values), true);
    line.low->setData(picture.lows.empty() ? QVector<double>() : times, Vector(picture.lows), true);
    line.high->setData(picture.highs.empty() ? QVector<double>() : times, Vector(picture.highs), true);
    line.dots->setData(Vector(picture.dotTimes), Vector(picture.dotValues), true);
    auto& [low, high] = bounds[m_charts.indexOf(line.line->keyAxis()->axisRect())];
    Widen(picture, m_from, m_to, low, high);
  }
  for (int c = 0; c < int(m_charts.size()); ++c) {
    m_charts[c]->axis(QCPAxis::atBottom)->setRange(m_from, m_to);
    const auto [bottom, top] = PaddedRange(bounds[c].first, bounds[c].second, m_leastSpans[c]);
    m_charts[c]->axis(QCPAxis::atLeft)->setRange(bottom, top);
  }
  m_plot->replot(QCustomPlot::rpQueuedReplot);
}

void CLogPlotDlg::ShowTime(double from, double to) {
  const double span = std::min(std::max(to - from, kLeastSpan), m_last - m_first);
  m_from = std::clamp(from, m_first, m_last - span);
  m_to = m_from + span;
  Redraw();
}

void CLogPlotDlg::ZoomTime(double centreSeconds, double factor) {
  const double span = m_to - m_from;
  const double wanted = std::min(std::max(span * factor, kLeastSpan), m_last - m_first);
  const double from = centreSeconds - (centreSeconds - m_from) * wanted / span;
  ShowTime(from, from + wanted);
}

void CLogPlotDlg::Pan(double fraction) {
  const double by = (m_to - m_from) * fraction;
  ShowTime(m_from + by, m_to + by);
}

void CLogPlotDlg::ResetZoom() {
  m_history.clear();
  ShowTime(m_first, m_last);
}

void CLogPlotDlg::Remember() { m_history.emplace_back(m_from, m_to); }

void CLogPlotDlg::StepBack() {
  if (m_history.empty()) return;
  const auto [from, to] = m_history.back();
  m_history.pop_back();
  ShowTime(from, to);
}

void CLogPlotDlg::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Home)
    ResetZoom();
  else if (event->key() == Qt::Key_Left || event->key() == Qt::Key_Right)
    Pan(event->key() == Qt::Key_Left ? -kPanStep : kPanStep);
  else
    QDialog::keyPressEvent(event);
}
