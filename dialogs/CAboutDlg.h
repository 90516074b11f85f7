#pragma once
// The about box (template 100), opened from the console's menu. It has no
// buttons: Enter, Escape and the close box end it.

#include <QDialog>
#include <memory>

namespace Ui {
class CAboutDlg;
}

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  // parent: the window it opens over and blocks (none: it blocks every window).
  explicit CAboutDlg(QWidget* parent = nullptr);
  ~CAboutDlg() override;

  // Runs the box modally; IDOK for Enter, IDCANCEL otherwise.
  int DoModal();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  std::unique_ptr<Ui::CAboutDlg> ui;
};
