// The terms dialog and the about box, answered with clicks and keys.

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "dialogs/CAboutDlg.h"
#include "dialogs/CDisclaimerDlg.h"
#include "tests/gui/gui_support.h"

class TermsAndAboutTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void termsTemplateHasItsCaptionButtonsAndQuestion();
  void acceptClickAndEnterReturnOk();
  void declineEscapeAndCloseBoxReturnCancel();
  void aboutBoxShowsItsLinesAndIcon();
  void aboutBoxClosesWithEnterEscapeAndCloseBox();
};

void TermsAndAboutTest::termsTemplateHasItsCaptionButtonsAndQuestion() {
  CDisclaimerDlg terms;
  QCOMPARE(terms.windowTitle(), QStringLiteral("Orvant Metering Software"));
  QCOMPARE(terms.property("controlId").toInt(), IDD_TERMS);
  // 312 x 148 dialog units.
  QCOMPARE(terms.minimumSize(), QSize(468, 240));
  auto* accept = Control<QPushButton>(&terms, IDOK);
  auto* decline = Control<QPushButton>(&terms, IDCANCEL);
  QVERIFY(accept && decline);
  QCOMPARE(accept->text(), QStringLiteral("ACCEPT"));
  QCOMPARE(decline->text(), QStringLiteral("DECLINE"));
  QVERIFY(accept->isDefault());
  QVERIFY(!decline->isDefault());
  QStringList labels;
  for (const QLabel* label : terms.findChildren<QLabel*>()) labels << label->text();
  QVERIFY(labels.contains(QStringLiteral("Do you accept these terms?")));
  QCOMPARE(labels.size(), 5);  // the question and the four lines of terms
}

void TermsAndAboutTest::acceptClickAndEnterReturnOk() {
  {
    CDisclaimerDlg terms;
    WhenModalOpens<CDisclaimerDlg>(
        [](CDisclaimerDlg* d) { QTest::mouseClick(Control<QPushButton>(d, IDOK), Qt::LeftButton); });
    QCOMPARE(terms.DoModal(), int(IDOK));
  }
  {
    CDisclaimerDlg terms;
    WhenModalOpens<CDisclaimerDlg>([](CDisclaimerDlg* d) { QTest::keyClick(d, Qt::Key_Return); });
    QCOMPARE(terms.DoModal(), int(IDOK));
  }
}

void TermsAndAboutTest::declineEscapeAndCloseBoxReturnCancel() {
  const std::function<void(CDisclaimerDlg*)> ways[] = {
      [](CDisclaimerDlg* d) { QTest::mouseClick(Control<QPushButton>(d, IDCANCEL), Qt::LeftButton); },
      [](CDisclaimerDlg* d) { QTest::keyClick(d, Qt::Key_Escape); },
      [](CDisclaimerDlg* d) { d->close(); },
  };
  for (const auto& way : ways) {
    CDisclaimerDlg terms;
    WhenModalOpens<CDisclaimerDlg>(way);
    QCOMPARE(terms.DoModal(), int(IDCANCEL));
  }
}

void TermsAndAboutTest::aboutBoxShowsItsLinesAndIcon() {
  CAboutDlg about;
  QCOMPARE(about.windowTitle(), QStringLiteral("About Pylax"));
  QCOMPARE(about.minimumSize(), QSize(279, 176));  // 186 x 108 dialog units
  QVERIFY(about.findChildren<QPushButton*>().isEmpty());
  QStringList lines;
  bool hasIcon = false;
  for (const QLabel* label : about.findChildren<QLabel*>()) {
    if (!label->pixmap().isNull()) hasIcon = true;
    if (!label->text().isEmpty()) lines << label->text();
  }
  QVERIFY(hasIcon);
  QVERIFY(lines.contains(QStringLiteral("Orvant Meters Modbus Tool")));
  QVERIFY(lines.contains(
      QStringLiteral("This program is intended to demonstration only.  It supports these products only:")));
  QCOMPARE(lines.size(), 7);
}

void TermsAndAboutTest::aboutBoxClosesWithEnterEscapeAndCloseBox() {
  const std::pair<std::function<void(CAboutDlg*)>, int> ways[] = {
      {[](CAboutDlg* d) { QTest::keyClick(d, Qt::Key_Return); }, IDOK},
      {[](CAboutDlg* d) { QTest::keyClick(d, Qt::Key_Enter, Qt::KeypadModifier); }, IDOK},
      {[](CAboutDlg* d) { QTest::keyClick(d, Qt::Key_Escape); }, IDCANCEL},
      {[](CAboutDlg* d) { d->close(); }, IDCANCEL},
  };
  for (const auto& [way, result] : ways) {
    CAboutDlg about;
    WhenModalOpens<CAboutDlg>(way);
    QCOMPARE(about.DoModal(), result);
  }
}

QTEST_MAIN(TermsAndAboutTest)
#include "test_dialogs.moc"
