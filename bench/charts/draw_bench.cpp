// The drawing time of the chart windows, offscreen: the trend of a day of
// poll ticks (86400, a QM4C reading every channel) over "Last 24 hours",
// and the plot of a full 60-day log (5760 rows of the simulator's ten
// default slots), from reading the file to its first picture and then each
// picture after a zoom. On a laptop's screen: QT_QPA_PLATFORM=offscreen:
// configfile=tests/charts/laptop_screen.json (the default offscreen screen
// is 800 x 800). Times are CPU time: a replot is drawn in this thread.
#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

#include "charts/CLogPlotDlg.h"
#include "charts/CTrendDlg.h"
#include "charts/log_file.h"
#include "charts/qcp.h"

namespace {
constexpr int kRepetitions = 15;
constexpr int64_t kDayTicks = 86400;
constexpr int kLogRows = 5760;

// The median of kRepetitions runs of work, in ms of this thread's CPU time:
// the machine is shared, and the wall clock counts the others' turns too.
double MedianMs(const std::function<void()>& work) {
  const auto cpuMs = [] {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
  };
  std::vector<double> ms;
  for (int r = 0; r < kRepetitions; ++r) {
    const double begin = cpuMs();
    work();
    ms.push_back(cpuMs() - begin);
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

TrendValues Tick(int64_t s) {
  TrendValues values;
  for (int channel = 0; channel < kTrendChannels; ++channel)
    values[channel] = float(100.0 + 20.0 * std::sin(double(s) / 900.0 + channel) + (s * 7919 % 13) * 0.1);
  return values;
}

// A download's file: rows 15 minutes apart, newest first, a daily load cycle.
QByteArray SixtyDays(qint64 newest) {
  QByteArray text = "Data#, UTC, Date/Time,KWH,KWH,KW,PF,VLN,AMPS-AVG,HZ,KW,KW,\n";
  for (int row = 0; row < kLogRows; ++row) {
    const qint64 time = newest - row * 900;
    const double load = 90 + 20 * std::sin(double(time % 86400) / 86400 * 2 * M_PI) + (row * 7919 % 17) * 0.3;
    const QByteArray kw = QByteArray::number(load, 'f', 3), kwh = QByteArray::number(39686 - row * 2.5, 'f', 3);
    text += QByteArray::number(row + 1) + ",0x" + QByteArray::number(quint32(time), 16).toUpper().rightJustified(8, '0') +
            ',' + QLocale::c().toString(QDateTime::fromSecsSinceEpoch(time), "ddd MMM dd hh:mm:ss yyyy").toLatin1() +
            ',' + kwh + ',' + kwh + ',' + kw + ",0.970,277.000," + QByteArray::number(load * 1.2, 'f', 3) +
            ",60.000," + kw + ',' + kw + ",\n";
  }
  return text;
}
}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);

  TrendStore store;
  const int64_t now = QDateTime::currentMSecsSinceEpoch();
  for (int64_t s = 0; s < kDayTicks; ++s)
    store.Add(now - (kDayTicks - s) * 1000, Meter{3, ModelQM4C, "Orvant QM4C Power Meter", ""}, Tick(s));
  auto* trend = new CTrendDlg(store, nullptr);
  trend->SpanList()->setCurrentIndex(4);  // the last 24 hours
  trend->show();
  QApplication::processEvents();
  const double trendMs = MedianMs([trend] {
    trend->Refresh();
    trend->Plot()->replot(QCustomPlot::rpImmediateRefresh);
  });
  int trendPoints = 0;
  for (int g = 0; g < trend->Plot()->graphCount(); ++g) trendPoints += trend->Plot()->graph(g)->data()->size();

  QTemporaryDir folder;
  const QString path = folder.filePath(QStringLiteral("03-data.csv"));
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(SixtyDays(now / 1000)) < 0) return 1;
  file.close();
  const double readMs = MedianMs([&path] {
    LogTable table;
    LogFileError error;
    ReadLogFile(path.toStdString(), table, error);
  });
  CLogPlotDlg* plot = nullptr;
  const double openMs = MedianMs([&plot, &path] {
    delete plot;
    plot = CLogPlotDlg::Open(nullptr, path);
    plot->Plot()->replot(QCustomPlot::rpImmediateRefresh);
  });
  QApplication::processEvents();
  const double first = double(now / 1000 - kLogRows * 900), last = double(now / 1000);
  bool narrow = true;
  const double zoomMs = MedianMs([&] {
    // Alternately the whole file (a band a line) and its last ten days (rows).
    plot->ShowTime(narrow ? last - 10 * 86400 : first, last);
    narrow = !narrow;
    plot->Plot()->replot(QCustomPlot::rpImmediateRefresh);
  });

  std::printf("trend, a day of %lld ticks, kW over the last 24 hours (%d x %d): median %.1f ms a picture, %d points\n",
              static_cast<long long>(kDayTicks), trend->Plot()->width(), trend->Plot()->height(), trendMs,
              trendPoints);
  std::printf("plot, %d rows of 9 columns (%d x %d): median %.1f ms from the file to its picture (%.1f ms reading "
              "it), %.1f ms a zoom\n",
              kLogRows, plot->Plot()->width(), plot->Plot()->height(), openMs, readMs, zoomMs);
  delete plot;
  delete trend;
  return 0;
}
