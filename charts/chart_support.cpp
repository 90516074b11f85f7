#include "charts/chart_support.h"

#include <QDialog>
#include <QFileDialog>
#include <QScreen>
#include <QWindow>
#include <algorithm>

#include "charts/chart_ticks.h"
#include "widgets/message_box.h"

namespace {
// Room left for a window manager's frame: a title bar up to 40 pixels (Qt's
// own allowance when it places a dialog) and borders up to 8.
constexpr int kTitleBarRoom = 40;
constexpr int kBorderRoom = 8;
// A time label ("00:00" over "08 Dec") is about 45 pixels wide; a value
// label is about 15 high. Ticks this far apart leave air between labels.
constexpr int kPixelsPerTimeTick = 110;
constexpr int kPixelsPerValueTick = 32;
}  // namespace

void MakeModelessWindow(QDialog& dialog) {
  dialog.setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                        Qt::WindowCloseButtonHint);
  dialog.setAttribute(Qt::WA_DeleteOnClose);
  dialog.winId();  // the native window, whose transient parent is cleared below
  dialog.windowHandle()->setTransientParent(nullptr);
}

void PlaceOnScreen(QWidget& window, const QWidget* owner, QSize wanted) {
  const QScreen* screen = owner != nullptr ? owner->screen() : window.screen();
  const QRect room = screen->availableGeometry();
  const QSize size = wanted.boundedTo(QSize(room.width() - 2 * kBorderRoom, room.height() - kTitleBarRoom - kBorderRoom))
                         .expandedTo(window.minimumSizeHint());
  window.resize(size);
  // Centred in the room left by the frame: the client area's top at least a
  // title bar below the screen's top, its bottom a border above the bottom.
  const int x = room.left() + kBorderRoom + std::max(0, (room.width() - 2 * kBorderRoom - size.width()) / 2);
  const int y =
      room.top() + kTitleBarRoom + std::max(0, (room.height() - kTitleBarRoom - kBorderRoom - size.height()) / 2);
  window.move(x, y);
}

void KeepRoomForLabels(QCustomPlot& plot) {
  QObject::connect(&plot, &QCustomPlot::afterReplot, &plot, &QWidget::updateGeometry);
  plot.replot();  // laid out once before the window takes its size
}

bool SaveChartPicture(QWidget& window, QCustomPlot& plot, const QString& path) {
  if (plot.grab().save(path, "PNG")) return true;
  ShowAppMessage(&window, QStringLiteral("Cannot write \"%1\".").arg(path));
  return false;
}

void AskAndSaveChartPicture(QWidget& window, QCustomPlot& plot, const QString& fileName) {
  const QString path = QFileDialog::getSaveFileName(&window, QStringLiteral("Save Picture"), fileName,
                                                    QStringLiteral("PNG pictures (*.png)"));
  if (!path.isEmpty()) SaveChartPicture(window, plot, path);
}

QColor LineColor(int n) {
  // Tableau's ten colours with its red, the error marks' colour, given to a
  // dark blue.
  static const QColor kColors[] = {QColor(0x1f, 0x77, 0xb4), QColor(0xff, 0x7f, 0x0e), QColor(0x2c, 0xa0, 0x2c),
                                   QColor(0x94, 0x67, 0xbd), QColor(0x8c, 0x56, 0x4b), QColor(0xe3, 0x77, 0xc2),
                                   QColor(0x7f, 0x7f, 0x7f), QColor(0xbc, 0xbd, 0x22), QColor(0x17, 0xbe, 0xcf),
                                   QColor(0x39, 0x3b, 0x79)};
  return kColors[n % std::size(kColors)];
}

QColor ErrorMarkColor() { return QColor(0xd6, 0x27, 0x28); }

int RoundTicker::MaxTicks() const {
  const QRect area = axis_->axisRect()->rect();
  return axis_->orientation() == Qt::Horizontal ? std::max(2, area.width() / kPixelsPerTimeTick)
                                                : std::max(2, area.height() / kPixelsPerValueTick);
}

void RoundTicker::generate(const QCPRange& range, const QLocale&, QChar, int, QVector<double>& ticks,
                           QVector<double>* subTicks, QVector<QString>* tickLabels) {
  madeFor_ = MaxTicks();
  ticks.clear();
  if (subTicks != nullptr) subTicks->clear();
  if (tickLabels != nullptr) tickLabels->clear();
  const auto add = [&](double at, const std::string& label) {
    ticks.append(at);
    if (tickLabels != nullptr) tickLabels->append(QString::fromStdString(label));
  };
  if (kind_ != Kind::Values) {
    const TimeDates dates = kind_ == Kind::DatedTimes ? TimeDates::Always : TimeDates::AcrossMidnight;
    for (const TimeTick& tick : RoundTimeTicks(range.lower, range.upper, madeFor_, dates))
      add(double(tick.seconds), tick.label);
    return;
  }
  const ValueTicks values = RoundValueTicks(range.lower, range.upper, madeFor_);
  for (double value : values.values) add(value, ValueTickText(value, values.decimals));
}

void UseRoundTicks(QCustomPlot& plot, QCPAxis* axis, RoundTicker::Kind kind) {
  auto* ticker = new RoundTicker(axis, kind);
  axis->setTicker(QSharedPointer<QCPAxisTicker>(ticker));
  axis->setSubTicks(false);
  QObject::connect(&plot, &QCustomPlot::afterLayout, axis, [&plot, ticker] {
    if (ticker->Stale()) plot.replot(QCustomPlot::rpQueuedReplot);
  });
}
