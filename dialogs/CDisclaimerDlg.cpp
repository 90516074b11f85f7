#include "dialogs/CDisclaimerDlg.h"

#include <QPushButton>

#include "resources/resource.h"
#include "ui_terms.h"

CDisclaimerDlg::CDisclaimerDlg(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::CDisclaimerDlg>()) {
  ui->setupUi(this);
  connect(ui->accept, &QPushButton::clicked, this, &CDisclaimerDlg::OnOK);
  connect(ui->decline, &QPushButton::clicked, this, &CDisclaimerDlg::OnCancel);
}

CDisclaimerDlg::~CDisclaimerDlg() = default;

int CDisclaimerDlg::DoModal() { return exec() == QDialog::Accepted ? IDOK : IDCANCEL; }

void CDisclaimerDlg::OnOK() { QDialog::accept(); }

void CDisclaimerDlg::OnCancel() { QDialog::reject(); }
