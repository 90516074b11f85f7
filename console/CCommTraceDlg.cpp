#include "console/CCommTraceDlg.h"

#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QWindow>
#include <cstring>

#include "meter/meter_state.h"
#include "modbus/master.h"
#include "modbus/result.h"
#include "modbus/serial_link.h"
#include "resources/app_resources.h"
#include "widgets/set_text.h"
#include "ui_commtrace.h"

CCommTraceDlg g_commTraceDlg;

namespace {

// Twelve entries of at most 1023 characters fill 12276 of these.
constexpr size_t kTraceTextSize = 16384;

// Pixels between the trace field's sunken frame and its text.
constexpr int kTraceMargin = 2;

void RequestTraceRepaint() { g_commTraceDlg.RequestRepaint(); }

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
// the process-wide object.
class CCommTraceWindow : public QDialog {
 public:
  CCommTraceWindow(CCommTraceDlg& owner, QWidget* parent) : QDialog(parent), owner_(owner) {
    ui.setupUi(this);
    // Text drawn right from the field's contents edge, where FitsInField
    // measures it (a label's own indent differs between its paint and its
    // size hint).
    ui.trace->setIndent(0);
    ui.trace->setMargin(kTraceMargin);
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
  void paintEvent(QPaintEvent* event) override {
    owner_.OnPaint();
    QDialog::paintEvent(event);
  }
  void closeEvent(QCloseEvent* event) override {
    owner_.OnClose();
    event->accept();
  }

 private:
  CCommTraceDlg& owner_;
};

CCommTraceDlg::CCommTraceDlg() = default;

// The window, if any, belongs to its owner by then; the object has nothing
// of its own to free.
CCommTraceDlg::~CCommTraceDlg() = default;

void CCommTraceDlg::Create(QWidget* owner) {
  // Asked for here, not when this object is made at load time: the link
  // it asks may not be made yet then.
  g_traceRepaintRequest = &RequestTraceRepaint;
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
  if (g_framing != Framing::Silence)
    m_window->setWindowTitle(
        QStringLiteral("%1 (%2 framing)").arg(m_window->windowTitle(), QLatin1String(FramingName(g_framing))));
  const QIcon icon = AppIcon();
  m_window->setWindowIcon(icon);
  return true;
}

void CCommTraceDlg::DestroyWindow() {
  g_traceLive = 0;
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

void CCommTraceDlg::OnFreeze() { g_traceLive = g_traceLive == 0 ? 1 : 0; }

void CCommTraceDlg::OnPaint() {
  // Oldest entry first, the newest at the end. An entry that was never
  // written adds nothing.
  char text[kTraceTextSize];
  size_t length = 0;
  text[0] = '\0';
  for (int k = 0; k < kTraceEntries; ++k) {
    const char* entry = TraceEntryOldestFirst(k);
    const size_t entryLength = strnlen(entry, kTraceEntryChars);
    const size_t room = kTraceTextSize - 1 - length;
    const size_t copied = entryLength < room ? entryLength : room;
    std::memcpy(text + length, entry, copied);
    length += copied;
    text[length] = '\0';
  }
  m_traceText = QString::fromLatin1(text, static_cast<qsizetype>(length));
  m_okText = QString::asprintf("%d", g_okCount);
  m_badText = QString::asprintf("%d", g_badCount);
  // Every code the poll stores is 0..10; the check keeps a stray one from
  // reading past the eleven texts.
  const ModbusResult code = g_lastResult >= 0 && g_lastResult < kResultCount ? g_lastResult : ResultOk;
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
