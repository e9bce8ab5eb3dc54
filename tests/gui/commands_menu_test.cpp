// The main window's chip commands reach the driver, and "Lock & Fuses..." builds a fresh dialog.
#include <QApplication>
#include <QGroupBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "app/MainWindow.h"
#include "chips/Catalogue.h"
#include "dialogs/LockFusesDialog.h"
#include "support/Fakes.h"

using namespace quillet;

class CommandsMenuTest : public QObject {
  Q_OBJECT

  // Opens "Lock & Fuses..." and returns the first group's caption as the open dialog showed it.
  static QString OpenLockFuses(MainWindow& form, QPointer<LockFusesDialog>& seen) {
    QString caption;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<LockFusesDialog*>(QApplication::activeModalWidget());
      seen = dialog;
      if (!dialog) return;
      if (LockFusesForm != dialog) caption = "not the global instance";
      else caption = dialog->GroupBox[0]->isVisibleTo(dialog) ? dialog->GroupBox[0]->title() : "";
      dialog->saveCloseButton->click();
    });
    form.LockFusesClick();
    return caption;
  }

 private slots:
  void lockFusesBuildsAFreshDialogEachTime() {
    MainWindow form;
    test::CoreFixture f;
    SelectChip(FindChipByName("ATtiny13")->id);
    QPointer<LockFusesDialog> first, second;
    QCOMPARE(OpenLockFuses(form, first), QString("Low Fuses"));
    QVERIFY(first.isNull());  // freed when its modal loop ended
    SelectChip(FindChipByName("AT90S1200")->id);
    QCOMPARE(OpenLockFuses(form, second), QString("Fuse Bits"));
    QVERIFY(second.isNull());
  }

  void chipMenuSelects() {
    MainWindow form;
    test::CoreFixture f;
    form.ChipMenuClick(626974);
    QCOMPARE(SelectedChip, ChipId(626974));
    QCOMPARE(f.log.lines.back(), std::string("Selected chip is  ATtiny26"));
  }

  void buttonsRunTheirCommands() {
    MainWindow form;
    test::CoreFixture f;
    const struct {
      void (MainWindow::*handler)();
      std::vector<std::string> lines;
    } cases[] = {
        {&MainWindow::ReadProgramClick,
         {"Trying to read the program", "Start time: 12:0:0", "No chip selected", "End time: 12:0:0"}},
        {&MainWindow::VerifyDataClick,
         {"Trying to verify the EEPROM", "Start time: 12:0:0", "No chip selected", "End time: 12:0:0"}},
        {&MainWindow::WriteProgramClick, {}},  // answered No
        {&MainWindow::ChipEraseClick, {}},
        {&MainWindow::ReadCalibrationClick, {"No chip selected"}},
        {&MainWindow::AutosearchClick,
         {"Trying to execute Programming Enable without echo back reading.", "Error executing commands:  0x48",
          "       Finished with fail."}},
    };
    for (const auto& c : cases) {
      f.ClearRecords();
      (form.*c.handler)();
      QCOMPARE(f.log.lines, c.lines);
      QCOMPARE(f.progress.Alive(), 0);
    }
  }
};

QTEST_MAIN(CommandsMenuTest)
#include "commands_menu_test.moc"
