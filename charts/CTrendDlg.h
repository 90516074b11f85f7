#pragma once
// The trend window: the polled meter's readings against the PC's time, one
// quantity at a time (total and phases), over the last minutes or day. A
// view over the console's TrendStore, which each poll tick fills: it reads
// nothing from the line. Modeless, like the trace window; it opens on the
// span that holds the ticks kept, and closed it hides, keeping the quantity
// and span picked for the next opening. Each phase has its colour, each
// meter its line style (and its colour too where a quantity has one line a
// meter, as kWh), kept from the moment the window first drew it; the legend
// names each once, the title every one drawn.

#include <QDialog>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "charts/trend_store.h"

class QComboBox;
class QLabel;
class QCPAxis;
class QCPGraph;
class QCPLegend;
class QCPTextElement;
class QCustomPlot;
class QPushButton;

class CTrendDlg : public QDialog {
  Q_OBJECT

 public:
  CTrendDlg(const TrendStore& store, QWidget* owner);

  // A tick has been added: the chart follows, unless paused.
  void Refresh();
  // Closed (its button, the title bar, Escape): hidden, no longer paused.
  void done(int result) override;

  // The spans the window offers, shortest first.
  static constexpr int64_t kSpansMs[] = {60 * 1000, 10 * 60 * 1000, 60 * 60 * 1000, 6 * 60 * 60 * 1000,
                                         24 * 60 * 60 * 1000};

  // The file is written at once; false after the message saying why not.
  bool SavePicture(const QString& path);
  bool SaveData(const QString& path);

  QCustomPlot* Plot() const { return m_plot; }
  QCPLegend* Legend() const { return m_legend; }
  // Every meter drawn, above the chart: one in full, several by short names.
  QString Title() const;
  // Under the chart: how much of the span the data kept fills, and where
  // the last save went.
  QString SpanNote() const;
  QString SavedNote() const;
  QComboBox* QuantityList() const { return m_quantity; }
  QPushButton* PauseButton() const { return m_pause; }
  QComboBox* SpanList() const { return m_span; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void OnPause();
  void OnSaveData();
  void OnSavePicture();
  void SayWhereSaved(const QString& what, const QString& path);
  void Redraw();
  int Buckets() const;
  QPen MeterPen(const std::string& meter, int channel, bool onePerMeter);
  QCPGraph* LegendEntry(const QString& name, const QPen& pen);

  const TrendStore& m_store;
  QCustomPlot* m_plot = nullptr;
  QCPAxis* m_timeAxis = nullptr;
  QCPAxis* m_valueAxis = nullptr;
  QCPTextElement* m_title = nullptr;
  QCPLegend* m_legend = nullptr;
  QComboBox* m_quantity = nullptr;
  QComboBox* m_span = nullptr;
  QPushButton* m_pause = nullptr;
  QLabel* m_spanNote = nullptr;
  QLabel* m_savedNote = nullptr;
  // While paused, the end of the span stays where it was.
  std::optional<int64_t> m_pausedAtMs;
  // Each meter's place in the order the window first drew them: its style.
  std::map<std::string, int> m_meterPlaces;
  int m_drawnBuckets = 0;
};
