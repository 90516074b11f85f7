#include "dialogs/CAboutDlg.h"

#include <QKeyEvent>

#include "resources/version_info.h"
#include "resources/app_resources.h"
#include "resources/resource.h"
#include "ui_about.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::CAboutDlg>()) {
  ui->setupUi(this);
  ui->icon->setPixmap(AppIcon().pixmap(32, 32));
  ui->edition->setText(QStringLiteral("Logging edition, version %1").arg(QLatin1String(version_info::kDottedVersion)));
}

CAboutDlg::~CAboutDlg() = default;

int CAboutDlg::DoModal() { return exec() == QDialog::Accepted ? IDOK : IDCANCEL; }

void CAboutDlg::keyPressEvent(QKeyEvent* event) {
  // Without a button there is no default one to take Enter, so the box
  // takes it itself, as a dialog's IDOK.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    accept();
    return;
  }
  QDialog::keyPressEvent(event);
}
