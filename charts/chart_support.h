#pragma once
// What the trend window and the log plot share: their placement, their
// pictures, their colours and their axes' round ticks.

#include <QColor>
#include <QSize>

#include "charts/qcp.h"

class QDialog;
class QString;
class QWidget;

// Makes dialog a window of its own beside owner: it closes with owner, yet
// is no transient child of owner's window, so the console's dialogs, modal
// to the console, leave it working (as the trace window).
void MakeModelessWindow(QDialog& dialog);

// Gives window the size wanted, as far as owner's screen (its own without
// an owner) has room for it and its frame, and centres it there. Before a
// window is first shown nobody knows its frame: X window managers put the
// title bar above the position asked for, so a window asked for at the
// screen's top would have its title bar off the screen.
void PlaceOnScreen(QWidget& window, const QWidget* owner, QSize wanted);

// Keeps plot's smallest size (and so its window's) as large as its labels
// and legends need: measured at each replot, as they change with the lines.
void KeepRoomForLabels(QCustomPlot& plot);

// Writes plot's picture to path as PNG; false, after a message over window
// saying why not.
bool SaveChartPicture(QWidget& window, QCustomPlot& plot, const QString& path);
// "Save Picture...": asks where, suggesting fileName, then saves it there.
void AskAndSaveChartPicture(QWidget& window, QCustomPlot& plot, const QString& fileName);

// The colour of the n-th line of a chart: ten distinct ones, none of them
// ErrorMarkColor().
QColor LineColor(int n);
QColor ErrorMarkColor();

// Ticks on round steps: values at 1, 2 or 5 x 10^n, times (seconds since
// 1970) on whole steps of the local clock, as many as the axis's length has
// room for. Dated times name the date even within one day.
class RoundTicker : public QCPAxisTicker {
 public:
  enum class Kind { Values, Times, DatedTimes };
  RoundTicker(QCPAxis* axis, Kind kind) : axis_(axis), kind_(kind) {}
  // The axis has another length than its ticks were made for.
  bool Stale() const { return madeFor_ != MaxTicks(); }

 protected:
  void generate(const QCPRange& range, const QLocale& locale, QChar formatChar, int precision, QVector<double>& ticks,
                QVector<double>* subTicks, QVector<QString>* tickLabels) override;

 private:
  int MaxTicks() const;
  QCPAxis* axis_;
  Kind kind_;
  int madeFor_ = -1;
};
// Gives axis of plot round ticks of kind, made again once a layout has
// changed the axis's length (its ticks are made before the layout that
// measures it).
void UseRoundTicks(QCustomPlot& plot, QCPAxis* axis, RoundTicker::Kind kind);
