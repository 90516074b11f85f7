#include "charts/CLogPlotDlg.h"

#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFileInfo>
#include <QKeyEvent>
#include <QScatterSeries>
#include <QScreen>
#include <QValueAxis>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <cmath>
#include <functional>
#include <limits>

#include "charts/chart_support.h"
#include "widgets/message_box.h"

namespace {
// One turn step of the wheel narrows the shown time by a fifth.
constexpr double kWheelZoom = 0.8;
constexpr int kChartMinimumHeight = 120;
constexpr int kLegendWidth = 150;  // "KWH (slot 10)", "Error word not 0"
constexpr qint64 kHourMs = 3600 * 1000;

// A chart that hands the wheel and the Home key to its window; a drag
// selects the span to zoom to (the view's own rubber band).
class ZoomChartView : public QChartView {
 public:
  ZoomChartView(QChart* chart, std::function<void(double, double)> zoom, std::function<void()> reset)
      : QChartView(chart), zoom_(std::move(zoom)), reset_(std::move(reset)) {
    setRubberBand(QChartView::HorizontalRubberBand);
    setRenderHint(QPainter::Antialiasing);
    setMinimumHeight(kChartMinimumHeight);
  }

 protected:
  void wheelEvent(QWheelEvent* event) override {
    const QRectF area = chart()->plotArea();
    const auto* axis = static_cast<QDateTimeAxis*>(chart()->axes(Qt::Horizontal).value(0));
    if (axis == nullptr || area.width() <= 0 || event->angleDelta().y() == 0) return;
    const double from = double(axis->min().toMSecsSinceEpoch()), to = double(axis->max().toMSecsSinceEpoch());
    const double at = from + (event->position().x() - area.left()) / area.width() * (to - from);
    zoom_(std::clamp(at, from, to), event->angleDelta().y() > 0 ? kWheelZoom : 1 / kWheelZoom);
    event->accept();
  }
  void keyPressEvent(QKeyEvent* event) override {
    if (event->key() == Qt::Key_Home)
      reset_();
    else
      QChartView::keyPressEvent(event);
  }

 private:
  std::function<void(double, double)> zoom_;
  std::function<void()> reset_;
};

// The lines of a column, oldest row first, broken at each empty field.
std::vector<TrendSegment> ColumnSegments(const LogTable& table, const LogColumn& column) {
  std::vector<TrendSegment> segments;
  bool open = false;
  for (int row = table.RowCount() - 1; row >= 0; --row) {
    const float value = column.values[row];
    if (std::isnan(value) || table.times[row] < 0) {
      open = false;
      continue;
    }
    if (!open) segments.emplace_back();
    open = true;
    segments.back().emplace_back(double(table.times[row]) * 1000.0, value);
  }
  return segments;
}

QString TimeFormatFor(double spanMs) {
  if (spanMs > 48 * kHourMs) return QStringLiteral("dd MMM");
  if (spanMs > 2 * kHourMs) return QStringLiteral("dd MMM hh:mm");
  return QStringLiteral("hh:mm:ss");
}
}  // namespace

CLogPlotDlg* CLogPlotDlg::Open(QWidget* owner, const QString& path) {
  LogTable table;
  LogFileError error;
  if (!ReadLogFile(path.toStdString(), table, error)) {
    ShowAppMessage(owner, RefusalText(path, error), MessageIcon::Exclamation);
    return nullptr;
  }
  auto* plot = new CLogPlotDlg(table, path, owner);
  plot->show();
  return plot;
}

int CLogPlotDlg::RunStandalone(int& argc, char** argv, const QString& path) {
  QApplication application(argc, argv);
  if (Open(nullptr, path) == nullptr) return 1;
  return application.exec();
}

QString CLogPlotDlg::RefusalText(const QString& path, const LogFileError& error) {
  const QString reason = QString::fromStdString(error.reason);
  if (error.line == 0) return QStringLiteral("Cannot read \"%1\": %2.").arg(path, reason);
  return QStringLiteral("\"%1\" is not a data file written by Pylax: line %2 does not fit: %3.")
      .arg(path)
      .arg(error.line)
      .arg(reason);
}

CLogPlotDlg::CLogPlotDlg(const LogTable& table, const QString& path, QWidget* owner) : QDialog(owner) {
  setWindowTitle(QStringLiteral("Plot of %1").arg(QFileInfo(path).fileName()));
  MakeModelessWindow(*this);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  m_firstMs = std::numeric_limits<double>::infinity();
  m_lastMs = -m_firstMs;
  for (int64_t time : table.times)
    if (time >= 0) m_firstMs = std::min(m_firstMs, time * 1000.0), m_lastMs = std::max(m_lastMs, time * 1000.0);
  if (m_firstMs > m_lastMs) m_firstMs = m_lastMs = double(QDateTime::currentMSecsSinceEpoch());
  if (m_firstMs == m_lastMs) m_lastMs = m_firstMs + 1000.0;  // one row still has a span to show

  bool withErrors = table.hasErrorColumn;
  for (int kind = 0; kind < kColumnKinds; ++kind) {
    const bool present = std::any_of(table.columns.begin(), table.columns.end(),
                                     [kind](const LogColumn& column) { return int(column.kind) == kind; });
    if (!present) continue;
    AddChart(table, static_cast<ColumnKind>(kind), withErrors);
    withErrors = false;  // the marks go into the topmost chart only
  }
  if (m_views.isEmpty()) AddChart(table, ColumnKind::Power, withErrors);  // no value column: the rows' times alone
  // Within the screen with room to spare for the window manager's frame: a
  // window as tall as the screen gets its title bar pushed above the top.
  const QRect room = screen()->availableGeometry();
  resize(std::min(1100, room.width() - 60), std::min(80 + 160 * int(m_views.size()), room.height() - 120));
}

void CLogPlotDlg::AddChart(const LogTable& table, ColumnKind kind, bool withErrors) {
  auto* chart = new QChart;
  // Legends beside the lines, leaving the height to them, all as wide, so
  // the charts' time axes end at the same place.
  chart->legend()->setAlignment(Qt::AlignRight);
  chart->legend()->setMinimumWidth(kLegendWidth);
  chart->legend()->setMaximumWidth(kLegendWidth);
  chart->setMargins(QMargins(4, 2, 4, 2));
  auto* timeAxis = new QDateTimeAxis;
  timeAxis->setFormat(TimeFormatFor(m_lastMs - m_firstMs));
  timeAxis->setRange(QDateTime::fromMSecsSinceEpoch(qint64(m_firstMs)), QDateTime::fromMSecsSinceEpoch(qint64(m_lastMs)));
  auto* valueAxis = new QValueAxis;
  chart->addAxis(timeAxis, Qt::AlignBottom);
  chart->addAxis(valueAxis, Qt::AlignLeft);

  double low = std::numeric_limits<double>::infinity(), high = -low;
  int n = 0;
  for (const LogColumn& column : table.columns) {
    if (column.kind != kind) continue;
    valueAxis->setTitleText(QString::fromStdString(column.unit));
    const std::vector<TrendSegment> segments = ColumnSegments(table, column);
    for (const TrendSegment& segment : segments)
      for (const auto& point : segment) low = std::min(low, point.second), high = std::max(high, point.second);
    AddSegments(*chart, segments, QString::fromStdString(column.name), QPen(LineColor(n++), 1.5), timeAxis, valueAxis);
  }
  const auto [bottom, top] = PaddedRange(low, high);
  valueAxis->setRange(bottom, top);
  if (withErrors) AddErrorMarks(*chart, table, timeAxis);

  connect(timeAxis, &QDateTimeAxis::rangeChanged, this, [this, timeAxis] { FollowTimeRange(timeAxis); });
  auto* view = new ZoomChartView(
      chart, [this](double at, double factor) { ZoomTime(at, factor); }, [this] { ResetZoom(); });
  layout()->addWidget(view);
  m_views.append(view);
  m_timeAxes.append(timeAxis);
}

void CLogPlotDlg::AddErrorMarks(QChart& chart, const LogTable& table, QDateTimeAxis* timeAxis) {
  // Marks along the chart's top edge, on an axis of their own.
  auto* marks = new QScatterSeries;
  marks->setName(QStringLiteral("Error word not 0"));
  marks->setColor(Qt::red);
  marks->setBorderColor(Qt::red);
  marks->setMarkerSize(7);
  for (int row = 0; row < table.RowCount(); ++row)
    if (table.errorWords[row] > 0 && table.times[row] >= 0) marks->append(double(table.times[row]) * 1000.0, 1.0);
  auto* markAxis = new QValueAxis;
  markAxis->setRange(0.0, 1.04);
  markAxis->setVisible(false);
  chart.addAxis(markAxis, Qt::AlignRight);
  chart.addSeries(marks);
  marks->attachAxis(timeAxis);
  marks->attachAxis(markAxis);
}

QList<QChart*> CLogPlotDlg::Charts() const {
  QList<QChart*> charts;
  for (QChartView* view : m_views) charts.append(view->chart());
  return charts;
}

void CLogPlotDlg::ZoomTime(double centreMs, double factor) {
  QDateTimeAxis* axis = m_timeAxes.value(0);
  if (axis == nullptr) return;
  const double from = double(axis->min().toMSecsSinceEpoch()), to = double(axis->max().toMSecsSinceEpoch());
  // No narrower than a second, no wider than the file.
  const double span = std::clamp((to - from) * factor, 1000.0, m_lastMs - m_firstMs);
  const double left = std::clamp(centreMs - (centreMs - from) * span / (to - from), m_firstMs, m_lastMs - span);
  axis->setRange(QDateTime::fromMSecsSinceEpoch(qint64(left)), QDateTime::fromMSecsSinceEpoch(qint64(left + span)));
}

void CLogPlotDlg::ResetZoom() {
  for (QChartView* view : m_views) view->chart()->zoomReset();
  m_timeAxes.value(0)->setRange(QDateTime::fromMSecsSinceEpoch(qint64(m_firstMs)),
                                QDateTime::fromMSecsSinceEpoch(qint64(m_lastMs)));
}

void CLogPlotDlg::FollowTimeRange(QDateTimeAxis* source) {
  if (m_following) return;
  m_following = true;
  const QString format = TimeFormatFor(double(source->max().toMSecsSinceEpoch() - source->min().toMSecsSinceEpoch()));
  for (QDateTimeAxis* axis : m_timeAxes) {
    axis->setFormat(format);
    if (axis != source) axis->setRange(source->min(), source->max());
  }
  m_following = false;
}

void CLogPlotDlg::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Home)
    ResetZoom();
  else
    QDialog::keyPressEvent(event);
}
