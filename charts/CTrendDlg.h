#pragma once
// The trend window: the polled meter's readings against the PC's time, one
// quantity at a time (total and phases), over the last minutes or day. A
// view over the console's TrendStore, which each poll tick fills: it reads
// nothing from the line. Modeless, like the trace window.

#include <QDialog>
#include <cstdint>
#include <optional>

#include "charts/trend_store.h"

class QChart;
class QChartView;
class QDateTimeAxis;
class QValueAxis;
class QComboBox;
class QPushButton;

class CTrendDlg : public QDialog {
  Q_OBJECT

 public:
  CTrendDlg(const TrendStore& store, QWidget* owner);

  // A tick has been added: the chart follows, unless paused.
  void Refresh();

  // The spans the window offers, shortest first.
  static constexpr int64_t kSpansMs[] = {60 * 1000, 10 * 60 * 1000, 60 * 60 * 1000, 6 * 60 * 60 * 1000,
                                         24 * 60 * 60 * 1000};

  // The file is written at once; false after the message saying why not.
  bool SavePicture(const QString& path);
  bool SaveData(const QString& path);

  QChart* Chart() const { return m_chart; }
  QComboBox* QuantityList() const { return m_quantity; }
  QPushButton* PauseButton() const { return m_pause; }
  QComboBox* SpanList() const { return m_span; }

 private:
  void OnPause();
  void OnSavePicture();
  void OnSaveData();
  void Redraw();

  const TrendStore& m_store;
  QChart* m_chart = nullptr;
  QChartView* m_view = nullptr;
  QDateTimeAxis* m_timeAxis = nullptr;
  QValueAxis* m_valueAxis = nullptr;
  QComboBox* m_quantity = nullptr;
  QComboBox* m_span = nullptr;
  QPushButton* m_pause = nullptr;
  // While paused, the end of the span stays where it was.
  std::optional<int64_t> m_pausedAtMs;
};
