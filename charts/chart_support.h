#pragma once
// What the trend window and the log plot share.

#include <QColor>
#include <QString>
#include <vector>

#include "charts/trend_store.h"

class QChart;
class QAbstractAxis;
class QDialog;
class QPen;
class QWidget;

// Makes dialog a window of its own beside owner: it closes with owner, yet
// is no transient child of owner's window, so the console's dialogs, modal
// to the console, leave it working (as the trace window).
void MakeModelessWindow(QDialog& dialog);

// Adds one line to chart as a series per unbroken segment, all drawn with
// pen, the legend naming only the first; attached to both axes.
void AddSegments(QChart& chart, const std::vector<TrendSegment>& segments, const QString& name, const QPen& pen,
                 QAbstractAxis* xAxis, QAbstractAxis* yAxis);

// The pen colour of the n-th line of a chart, distinct for the first ten.
QColor LineColor(int n);

// The value range of the lines with a margin, so no line runs along the
// chart's edge; [0, 1] when there is none.
std::pair<double, double> PaddedRange(double low, double high);
