#pragma once
// The plot of a downloaded data file: one chart per kind of quantity
// (energy, power, power factor, voltage, current, frequency), stacked on one
// time axis in local time, their plot areas aligned; one line per logged
// column, named in each chart's legend by the header's register labels; rows
// whose error word is not 0 marked along the top. Spans of many more rows
// than pixels draw as a band of each slice's lowest to highest value around
// its mean. The mouse wheel zooms the time around the pointer (Shift + wheel
// and the arrow keys move it), a drag selects a span, a right click steps
// back, Home shows the whole file again; each chart's values follow the span.

#include <QDialog>
#include <QList>
#include <optional>
#include <utility>
#include <vector>

#include "charts/log_file.h"
#include "charts/plot_series.h"
#include "widgets/message_box.h"

class QCustomPlot;
class QCPAxisRect;
class QCPGraph;
class QCPLegend;

class CLogPlotDlg : public QDialog {
  Q_OBJECT

 public:
  // Reads path and shows its plot beside owner (none: a window of its own);
  // null, after a message naming the line that does not fit, for a file no
  // download wrote (or saying it is the trend window's), or saying there is
  // nothing to plot for a file of no rows.
  static CLogPlotDlg* Open(QWidget* owner, const QString& path);

  // pylax --plot FILE: the plot alone, until its window is closed. 0, or 1
  // when no plot was shown; its message goes to stderr as well.
  static int RunStandalone(int& argc, char** argv, const QString& path);

  // The messages for a file (tests compare them).
  static QString RefusalText(const QString& path, const LogFileError& error);
  static QString NoEntriesText(const QString& path);

  QCustomPlot* Plot() const { return m_plot; }
  // The charts, top to bottom.
  QList<QCPAxisRect*> Charts() const { return m_charts; }
  // Shows every row again.
  void ResetZoom();
  // Zooms the time around a point of the span: factor < 1 narrows it.
  void ZoomTime(double centreSeconds, double factor);
  // Shows [from, to] (seconds), kept within the file.
  void ShowTime(double from, double to);

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // A logged column as drawn: its line, its band's edges, its lone dots.
  struct Line {
    int column;
    QCPGraph* line;
    QCPGraph* low;
    QCPGraph* high;
    QCPGraph* dots;
  };

  // Why a file plots nothing, as its message shows it.
  struct Refusal {
    QString text;
    MessageIcon icon;
  };
  // Reads path into table: none when it has rows to plot.
  static std::optional<Refusal> Read(const QString& path, LogTable& table);
  static CLogPlotDlg* Show(LogTable table, const QString& path, QWidget* owner);
  CLogPlotDlg(LogTable table, const QString& path, QWidget* owner);
  void AddCharts();
  std::pair<QCPAxisRect*, QCPLegend*> AddChart(ColumnKind kind);
  void AddLines(QCPAxisRect* chart, QCPLegend* legend, ColumnKind kind);
  void AddErrorMarks(QCPAxisRect* chart, QCPLegend* legend);
  void Redraw();
  // The lowest chart's time labels would take their room from its plot area.
  void EvenChartHeights();
  int Slices() const;
  // The span shown before, for the right click to step back to.
  void Remember();
  void StepBack();
  void Pan(double fraction);

  LogTable m_table;
  std::vector<int> m_rows;        // with a time, oldest first
  std::vector<Coinciding> m_coinciding;
  QCustomPlot* m_plot = nullptr;
  QList<QCPAxisRect*> m_charts;
  std::vector<double> m_leastSpans;  // of each chart's value axis
  std::vector<Line> m_lines;
  double m_first = 0, m_last = 0;  // the file's span, seconds
  double m_from = 0, m_to = 0;     // the span shown
  int m_drawnSlices = 0;
  std::vector<std::pair<double, double>> m_history;
};
