// The six memory buttons, their menu items with shortcuts, and the usual cycle of erase, write
// and verify; the work is done by the driver in commands/Driver.cpp.
#include <QAction>
#include <QKeySequence>
#include <QMenu>

#include "app/MainWindow.h"
#include "commands/Driver.h"
#include "dialogs/Worker.h"

namespace quillet {

void MainWindow::ReadProgramClick() { RunMemoryOperation(static_cast<int>(MemoryOperation::ReadProgram)); }
void MainWindow::WriteProgramClick() { RunMemoryOperation(static_cast<int>(MemoryOperation::WriteProgram)); }
void MainWindow::VerifyProgramClick() { RunMemoryOperation(static_cast<int>(MemoryOperation::VerifyProgram)); }
void MainWindow::ReadDataClick() { RunMemoryOperation(static_cast<int>(MemoryOperation::ReadData)); }
void MainWindow::WriteDataClick() { RunMemoryOperation(static_cast<int>(MemoryOperation::WriteData)); }
void MainWindow::VerifyDataClick() { RunMemoryOperation(static_cast<int>(MemoryOperation::VerifyData)); }

void MainWindow::RunMemoryOperation(int operation) {
  if (operation < 0 || operation > static_cast<int>(MemoryOperation::VerifyData)) return;
  RunOffWindowThread([operation] { RunMemoryCommand(static_cast<MemoryOperation>(operation)); });
}

void MainWindow::EraseWriteVerifyClick() {
  RunOffWindowThread([] { RunEraseWriteVerify(); });
}

void MainWindow::BuildCommandMenu() {
  // The buttons' commands in the Edit menu, so that their keys are shown; the keys follow the
  // buttons' columns: F5 read, F6 write, F7 verify, with Shift for the data memory.
  struct Item {
    QAction* MainWindow::*action;
    const char* name;
    const char* caption;
    QKeySequence key;
    void (MainWindow::*slot)();
  };
  const Item items[] = {
      {&MainWindow::autosearchAction, "autosearchAction", "Autosearch chip", QKeySequence(Qt::Key_F3),
       &MainWindow::AutosearchClick},
      {nullptr, nullptr, nullptr, {}, nullptr},
      {&MainWindow::readProgramAction, "readProgramAction", "Read Program", QKeySequence(Qt::Key_F5),
       &MainWindow::ReadProgramClick},
      {&MainWindow::writeProgramAction, "writeProgramAction", "Write Program", QKeySequence(Qt::Key_F6),
       &MainWindow::WriteProgramClick},
      {&MainWindow::verifyProgramAction, "verifyProgramAction", "Verify Program", QKeySequence(Qt::Key_F7),
       &MainWindow::VerifyProgramClick},
      {&MainWindow::readDataAction, "readDataAction", "Read Data", QKeySequence(Qt::SHIFT | Qt::Key_F5),
       &MainWindow::ReadDataClick},
      {&MainWindow::writeDataAction, "writeDataAction", "Write Data", QKeySequence(Qt::SHIFT | Qt::Key_F6),
       &MainWindow::WriteDataClick},
      {&MainWindow::verifyDataAction, "verifyDataAction", "Verify Data", QKeySequence(Qt::SHIFT | Qt::Key_F7),
       &MainWindow::VerifyDataClick},
      {nullptr, nullptr, nullptr, {}, nullptr},
      {&MainWindow::eraseWriteVerifyAction, "eraseWriteVerifyAction", "Erase, Write and Verify Program",
       QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_W), &MainWindow::EraseWriteVerifyClick},
  };
  editMenu->addSeparator()->setObjectName("N5");
  int separators = 6;
  for (const Item& item : items) {
    if (!item.action) {
      editMenu->addSeparator()->setObjectName(QString("N%1").arg(separators++));
      continue;
    }
    QAction* a = editMenu->addAction(item.caption);
    a->setObjectName(item.name);
    a->setShortcut(item.key);
    connect(a, &QAction::triggered, this, item.slot);
    this->*item.action = a;
  }
}

}  // namespace quillet
