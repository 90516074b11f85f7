#include "console/CCommTraceDlg.h"

#include <QDialog>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLabel>
#include <QWindow>
#include <cstring>

#include "modbus/result.h"
#include "resources/app_resources.h"
#include "widgets/set_text.h"
#include "ui_commtrace.h"

namespace {

// Twelve entries of at most 1023 characters fill 12276 of these.
constexpr size_t kTraceTextSize = 16384;

// Pixels between the trace field's sunken frame and its text.
constexpr int kTraceMargin = 2;

void RequestTraceRepaint(void* dialog) { static_cast<CCommTraceDlg*>(dialog)->RequestRepaint(); }

// The field draws its text from the top of its contents less its margin,
// wrapped at blanks.
bool FitsInField(const QLabel* field, const QString& text) {
  const int margin = field->margin();
  const QRect room = field->contentsRect().adjusted(margin, margin, -margin, -margin);
  const int flags = Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap;
  return field->fontMetrics().boundingRect(room, flags, text).height() <= room.height();
}

// The field cuts what does not fit below, yet the newest exchanges, at the
// end, are what the window is opened for: whole lines go from the top until
// the rest fits, so the newest exchange shows in full at the bottom.
QString EndThatFits(const QLabel* field, QString text) {
  while (!FitsInField(field, text)) {
    const qsizetype nextLine = text.indexOf(QLatin1Char('\n')) + 1;
    if (nextLine == 0) break;  // one line left: it shows from its start
    text.remove(0, nextLine);
  }
  return text;
}

}  // namespace

// The window itself: the controls of template 129, with its events handed to
// the object that outlives it.
class CCommTraceWindow : public QDialog {
 public:
  CCommTraceWindow(CCommTraceDlg& owner, QWidget* parent) : QDialog(parent), owner_(owner) {
    ui.setupUi(this);
    // Text drawn right from the field's contents edge, where FitsInField
    // measures it (a label's own indent differs between its paint and its
    // size hint).
    ui.trace->setIndent(0);
    ui.trace->setMargin(kTraceMargin);
    // Hex bytes are read in columns.
    QFont fixedPitch = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixedPitch.setPointSizeF(ui.trace->font().pointSizeF());
    ui.trace->setFont(fixedPitch);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                   Qt::WindowCloseButtonHint);
    // Owned by the console, yet no transient child of its window: Qt blocks
    // a window whose transient parents meet a modal window's, and the
    // console's dialogs, modal to the console, must leave this one working.
    create();
    windowHandle()->setTransientParent(nullptr);
    connect(ui.freeze, &QPushButton::clicked, this, [this] { owner_.OnFreeze(); });
    connect(ui.ok, &QPushButton::clicked, this, [this] { owner_.OnOK(); });
  }

  Ui::CCommTraceDlg ui;

  void accept() override { owner_.OnOK(); }
  // Escape destroys the window exactly as OK does.
  void reject() override { owner_.DestroyWindow(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void closeEvent(QCloseEvent* event) override {
    owner_.OnClose();
    event->accept();
  }

 private:
  CCommTraceDlg& owner_;
};

void CCommTraceWindow::paintEvent(QPaintEvent* event) {
  owner_.OnPaint();
  QDialog::paintEvent(event);
}

CCommTraceDlg::CCommTraceDlg(ModbusLink& link, const PollState& poll) : m_link(link), m_poll(poll) {}

// The window, if any, belongs to its owner by then; the ring, which may
// outlive this object, stops asking it for paints.
CCommTraceDlg::~CCommTraceDlg() {
  TraceRing& ring = m_link.Trace();
  if (ring.repaintContext != this) return;
  ring.repaintRequest = nullptr;
  ring.repaintContext = nullptr;
}

void CCommTraceDlg::Create(QWidget* owner) {
  m_link.Trace().repaintRequest = &RequestTraceRepaint;
  m_link.Trace().repaintContext = this;
  m_window = new CCommTraceWindow(*this, owner);
  OnInitDialog();
  m_window->show();
  BringToFront();
}

bool CCommTraceDlg::OnInitDialog() {
  DoDataExchange();
  // The bytes of an exchange look the same under both framings, so the
  // caption says when the link frames by length; the default keeps the
  // template's caption.
  const Framing framing = m_link.Settings().framing;
  if (framing != Framing::Silence)
    m_window->setWindowTitle(
        QStringLiteral("%1 (%2 framing)").arg(m_window->windowTitle(), QLatin1String(FramingName(framing))));
  const QIcon icon = AppIcon();
  m_window->setWindowIcon(icon);
  return true;
}

void CCommTraceDlg::DestroyWindow() {
  m_link.Trace().live = 0;
  if (m_window.isNull()) return;
  CCommTraceWindow* window = m_window;
  m_window.clear();
  window->hide();
  // This may run inside one of the window's own handlers (OK, Escape).
  window->deleteLater();
}

void CCommTraceDlg::OnOK() { DestroyWindow(); }

void CCommTraceDlg::OnClose() { DestroyWindow(); }

void CCommTraceDlg::BringToFront() {
  if (m_window.isNull()) return;
  m_window->setWindowState((m_window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  m_window->raise();
  m_window->activateWindow();
}

void CCommTraceDlg::RequestRepaint() {
  if (!m_window.isNull()) m_window->update();
}

void CCommTraceDlg::RepaintNow() {
  if (!m_window.isNull()) m_window->repaint();
}

QWidget* CCommTraceDlg::Window() const { return m_window; }

void CCommTraceDlg::OnFreeze() {
  int& live = m_link.Trace().live;
  live = live == 0 ? 1 : 0;
  // The button stays pressed while the trace is frozen.
  if (!m_window.isNull()) m_window->ui.freeze->setChecked(live == 0);
}

void CCommTraceDlg::OnPaint() {
  // Oldest entry first, the newest at the end. An entry that was never
  // written adds nothing.
  char text[kTraceTextSize];
  size_t length = 0;
  text[0] = '\0';
  for (int k = 0; k < kTraceEntries; ++k) {
    const char* entry = m_link.Trace().OldestFirst(k);
    const size_t entryLength = strnlen(entry, kTraceEntryChars);
    const size_t room = kTraceTextSize - 1 - length;
    const size_t copied = entryLength < room ? entryLength : room;
    std::memcpy(text + length, entry, copied);
    length += copied;
    text[length] = '\0';
  }
  m_traceText = QString::fromLatin1(text, static_cast<qsizetype>(length));
  m_okText = QString::asprintf("%d", m_poll.ok);
  m_badText = QString::asprintf("%d", m_poll.bad);
  // Every code the poll stores is 0..10; the check keeps a stray one from
  // reading past the eleven texts.
  const ModbusResult last = m_poll.lastResult;
  const ModbusResult code = last >= 0 && last < kResultCount ? last : ResultOk;
  m_lastErrText = QString::fromLatin1(ResultText(code));
  DoDataExchange();
}

void CCommTraceDlg::DoDataExchange() {
  if (m_window.isNull()) return;
  Ui::CCommTraceDlg& ui = m_window->ui;
  // The ring's lines end in "\r\n"; the label breaks lines at "\n" alone,
  // and the last line's break would only add an empty line below it.
  QString lines = m_traceText;
  lines.remove(QLatin1Char('\r'));
  if (lines.endsWith(QLatin1Char('\n'))) lines.chop(1);
  const QString shown = EndThatFits(ui.trace, lines);
  if (ui.trace->text() != shown) ui.trace->setText(shown);
  SetTextIfChanged(ui.okCount, m_okText);
  SetTextIfChanged(ui.badCount, m_badText);
  SetTextIfChanged(ui.lastErr, m_lastErrText);
}
