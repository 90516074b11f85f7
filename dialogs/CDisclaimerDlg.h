#pragma once
// The terms dialog (template 136). The console runs it at every interactive
// start, before it polls anything; acceptance is remembered nowhere.

#include <QDialog>
#include <memory>

namespace Ui {
class CDisclaimerDlg;
}

class CDisclaimerDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CDisclaimerDlg(QWidget* parent = nullptr);
  ~CDisclaimerDlg() override;

  // Runs the dialog modally: IDOK for ACCEPT (also Enter, ACCEPT being the
  // default button), IDCANCEL for DECLINE, Escape or the close box.
  int DoModal();

  void accept() override { OnOK(); }
  void reject() override { OnCancel(); }

 protected:
  virtual void OnOK();
  virtual void OnCancel();

 private:
  std::unique_ptr<Ui::CDisclaimerDlg> ui;
};
