#pragma once
// The plot of a downloaded data file: one chart per kind of quantity
// (energy, power, power factor, voltage, current, frequency), stacked and
// sharing the time axis; one line per logged column, labelled with the
// header's register labels; rows whose error word is not 0 marked. The
// mouse wheel zooms the time around the pointer, a drag selects a span,
// Home shows the whole file again.

#include <QDialog>
#include <QList>

#include "charts/log_file.h"

class QChart;
class QChartView;
class QDateTimeAxis;

class CLogPlotDlg : public QDialog {
  Q_OBJECT

 public:
  // Reads path and shows its plot beside owner (none: a window of its own);
  // null, after a message naming the line that does not fit, for a file no
  // download wrote.
  static CLogPlotDlg* Open(QWidget* owner, const QString& path);

  // pylax --plot FILE: the plot alone, until its window is closed. 0, or 1
  // when the file was refused.
  static int RunStandalone(int& argc, char** argv, const QString& path);

  QList<QChart*> Charts() const;
  // Shows every row again.
  void ResetZoom();
  // Zooms the time around a point of the span: factor < 1 narrows it.
  void ZoomTime(double centreMs, double factor);

  // The refusal text for a file (tests compare it).
  static QString RefusalText(const QString& path, const LogFileError& error);

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  CLogPlotDlg(const LogTable& table, const QString& path, QWidget* owner);
  void AddChart(const LogTable& table, ColumnKind kind, bool withErrors);
  void AddErrorMarks(QChart& chart, const LogTable& table, QDateTimeAxis* timeAxis);
  void FollowTimeRange(QDateTimeAxis* source);

  QList<QChartView*> m_views;
  QList<QDateTimeAxis*> m_timeAxes;
  double m_firstMs = 0, m_lastMs = 0;
  bool m_following = false;
};
