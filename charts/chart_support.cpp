#include "charts/chart_support.h"

#include <QChart>
#include <QDialog>
#include <QLegendMarker>
#include <QLineSeries>
#include <QPen>
#include <QWindow>
#include <cmath>

void MakeModelessWindow(QDialog& dialog) {
  dialog.setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                        Qt::WindowCloseButtonHint);
  dialog.setAttribute(Qt::WA_DeleteOnClose);
  dialog.winId();  // the native window, whose transient parent is cleared below
  dialog.windowHandle()->setTransientParent(nullptr);
}

void AddSegments(QChart& chart, const std::vector<TrendSegment>& segments, const QString& name, const QPen& pen,
                 QAbstractAxis* xAxis, QAbstractAxis* yAxis) {
  bool first = true;
  for (const TrendSegment& segment : segments) {
    auto* series = new QLineSeries;
    series->setName(name);
    series->setPen(pen);
    QList<QPointF> points;
    points.reserve(static_cast<qsizetype>(segment.size()));
    for (const auto& [time, value] : segment) points.append(QPointF(time, value));
    series->replace(points);
    chart.addSeries(series);
    series->attachAxis(xAxis);
    series->attachAxis(yAxis);
    if (!first)
      for (QLegendMarker* marker : chart.legend()->markers(series)) marker->setVisible(false);
    first = false;
  }
}

QColor LineColor(int n) {
  static const QColor kColors[] = {QColor(0x1f, 0x77, 0xb4), QColor(0xd6, 0x27, 0x28), QColor(0x2c, 0xa0, 0x2c),
                                   QColor(0xff, 0x7f, 0x0e), QColor(0x94, 0x67, 0xbd), QColor(0x8c, 0x56, 0x4b),
                                   QColor(0xe3, 0x77, 0xc2), QColor(0x7f, 0x7f, 0x7f), QColor(0xbc, 0xbd, 0x22),
                                   QColor(0x17, 0xbe, 0xcf)};
  return kColors[n % std::size(kColors)];
}

std::pair<double, double> PaddedRange(double low, double high) {
  if (!(low <= high)) return {0.0, 1.0};
  const double margin = high > low ? (high - low) * 0.05 : std::max(std::fabs(high) * 0.05, 0.5);
  return {low - margin, high + margin};
}
