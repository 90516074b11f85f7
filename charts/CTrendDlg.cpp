#include "charts/CTrendDlg.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QValueAxis>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>
#include <limits>

#include "charts/chart_support.h"
#include "widgets/message_box.h"

namespace {
constexpr const char* kSpanNames[] = {"Last minute", "Last 10 minutes", "Last hour", "Last 6 hours", "Last 24 hours"};
constexpr int kFirstSpan = 1;  // ten minutes: long enough to see a load move, short enough to see each tick
constexpr int kLongestSecondsSpan = 1;
// Older meters' lines are dashed, so a change of meter shows in the chart.
constexpr Qt::PenStyle kRunStyles[] = {Qt::DashLine, Qt::SolidLine};
}  // namespace

CTrendDlg::CTrendDlg(const TrendStore& store, QWidget* owner) : QDialog(owner), m_store(store) {
  setWindowTitle(QStringLiteral("Trend"));
  MakeModelessWindow(*this);
  resize(900, 600);

  m_quantity = new QComboBox;
  for (int q = 0; q < kTrendQuantities; ++q)
    m_quantity->addItem(QString::fromLatin1(TrendQuantityName(static_cast<TrendQuantity>(q))));
  m_span = new QComboBox;
  for (const char* name : kSpanNames) m_span->addItem(QString::fromLatin1(name));
  m_span->setCurrentIndex(kFirstSpan);
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

  m_chart = new QChart;
  m_chart->legend()->setAlignment(Qt::AlignBottom);
  // The axes stay; each redraw replaces the lines only.
  m_timeAxis = new QDateTimeAxis;
  m_timeAxis->setTitleText(QStringLiteral("PC time"));
  m_valueAxis = new QValueAxis;
  m_chart->addAxis(m_timeAxis, Qt::AlignBottom);
  m_chart->addAxis(m_valueAxis, Qt::AlignLeft);
  m_view = new QChartView(m_chart);
  m_view->setRenderHint(QPainter::Antialiasing);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(controls);
  layout->addWidget(m_view, 1);

  connect(m_quantity, &QComboBox::currentIndexChanged, this, &CTrendDlg::Redraw);
  connect(m_span, &QComboBox::currentIndexChanged, this, &CTrendDlg::Redraw);
  connect(m_pause, &QPushButton::clicked, this, &CTrendDlg::OnPause);
  connect(savePicture, &QPushButton::clicked, this, &CTrendDlg::OnSavePicture);
  connect(saveData, &QPushButton::clicked, this, &CTrendDlg::OnSaveData);
  connect(close, &QPushButton::clicked, this, &QDialog::close);
  Redraw();
}

void CTrendDlg::Refresh() {
  if (!m_pausedAtMs) Redraw();
}

void CTrendDlg::OnPause() {
  if (m_pausedAtMs)
    m_pausedAtMs.reset();
  else
    m_pausedAtMs = QDateTime::currentMSecsSinceEpoch();
  m_pause->setText(m_pausedAtMs ? QStringLiteral("Resume") : QStringLiteral("Pause"));
  Redraw();
}

void CTrendDlg::Redraw() {
  m_chart->removeAllSeries();
  const auto quantity = static_cast<TrendQuantity>(std::max(0, m_quantity->currentIndex()));
  const int64_t toMs = m_pausedAtMs.value_or(QDateTime::currentMSecsSinceEpoch());
  const int64_t fromMs = toMs - kSpansMs[std::max(0, m_span->currentIndex())];
  m_timeAxis->setFormat(m_span->currentIndex() <= kLongestSecondsSpan ? QStringLiteral("hh:mm:ss")
                                                                       : QStringLiteral("hh:mm"));
  m_timeAxis->setRange(QDateTime::fromMSecsSinceEpoch(fromMs), QDateTime::fromMSecsSinceEpoch(toMs));
  m_valueAxis->setTitleText(QString::fromLatin1(TrendQuantityName(quantity)));

  // Two points (lowest, highest) for each pixel column at most.
  const int buckets = std::max(100, static_cast<int>(m_chart->plotArea().width()));
  const std::vector<TrendLine> lines = m_store.Lines(ChannelsOf(quantity), fromMs, toMs, buckets);
  double low = std::numeric_limits<double>::infinity(), high = -low;
  const std::string newestMeter = m_store.Count() > 0 ? m_store.MeterAt(m_store.Count() - 1) : std::string();
  for (const TrendLine& line : lines) {
    for (const TrendSegment& segment : line.segments)
      for (const auto& point : segment) low = std::min(low, point.second), high = std::max(high, point.second);
    QPen pen(LineColor(line.channel == 0 ? 0 : (line.channel - 1) % 4), 1.5);  // by phase
    pen.setStyle(kRunStyles[line.meter == newestMeter ? 1 : 0]);
    const QString name = QStringLiteral("%1 %2").arg(QString::fromStdString(ShortMeterName(line.meter)),
                                                       QString::fromLatin1(ChannelPhaseName(line.channel)));
    AddSegments(*m_chart, line.segments, name, pen, m_timeAxis, m_valueAxis);
  }
  const auto [bottom, top] = PaddedRange(low, high);
  m_valueAxis->setRange(bottom, top);
  // The legend names each meter short; the title gives the newest in full.
  m_chart->setTitle(QString::fromStdString(newestMeter));
}

bool CTrendDlg::SavePicture(const QString& path) {
  if (m_view->grab().save(path, "PNG")) return true;
  ShowAppMessage(this, QStringLiteral("Cannot write \"%1\".").arg(path));
  return false;
}

bool CTrendDlg::SaveData(const QString& path) {
  FILE* file = std::fopen(path.toLocal8Bit().constData(), "w");
  const bool written = file != nullptr && m_store.WriteCsv(file);
  if (file != nullptr && std::fclose(file) == 0 && written) return true;
  ShowAppMessage(this, QStringLiteral("Cannot write \"%1\".").arg(path));
  return false;
}

void CTrendDlg::OnSavePicture() {
  const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save Picture"), QStringLiteral("trend.png"),
                                                    QStringLiteral("PNG pictures (*.png)"));
  if (!path.isEmpty()) SavePicture(path);
}

void CTrendDlg::OnSaveData() {
  const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save Data"), QStringLiteral("trend.csv"),
                                                    QStringLiteral("CSV files (*.csv)"));
  if (!path.isEmpty()) SaveData(path);
}
