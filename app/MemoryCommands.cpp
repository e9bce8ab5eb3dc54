// The six memory buttons, their menu items with shortcuts, and the usual cycle of erase, write
// and verify; the work is done by the driver in commands/Driver.cpp.
#include <QAction>
#include <QKeySequence>
#include <QMenu>

#include "commands/Driver.h"
#include "app/Main.h"
#include "dialogs/Worker.h"

namespace quillet {

void TForm1::Button4Click() { RunMemoryOperation(static_cast<int>(MemoryOperation::ReadProgram)); }
void TForm1::Button5Click() { RunMemoryOperation(static_cast<int>(MemoryOperation::WriteProgram)); }
void TForm1::Button6Click() { RunMemoryOperation(static_cast<int>(MemoryOperation::VerifyProgram)); }
void TForm1::Button8Click() { RunMemoryOperation(static_cast<int>(MemoryOperation::ReadData)); }
void TForm1::Button9Click() { RunMemoryOperation(static_cast<int>(MemoryOperation::WriteData)); }
void TForm1::Button10Click() { RunMemoryOperation(static_cast<int>(MemoryOperation::VerifyData)); }

void TForm1::RunMemoryOperation(int operation) {
  if (operation < 0 || operation > static_cast<int>(MemoryOperation::VerifyData)) return;
  RunOffWindowThread([operation] { RunMemoryCommand(static_cast<MemoryOperation>(operation)); });
}

void TForm1::EraseWriteandVerifyProgram1Click() { RunOffWindowThread([] { RunEraseWriteVerify(); }); }

void TForm1::BuildCommandMenu() {
  // The buttons' commands in the Edit menu, so that their keys are shown; the keys follow the
  // buttons' columns: F5 read, F6 write, F7 verify, with Shift for the data memory.
  struct Item {
    QAction* TForm1::*action;
    const char* name;
    const char* caption;
    QKeySequence key;
    void (TForm1::*slot)();
  };
  const Item items[] = {
      {&TForm1::AutosearchChip1, "AutosearchChip1", "Autosearch chip", QKeySequence(Qt::Key_F3),
       &TForm1::Button3Click},
      {nullptr, nullptr, nullptr, {}, nullptr},
      {&TForm1::ReadProgram1, "ReadProgram1", "Read Program", QKeySequence(Qt::Key_F5),
       &TForm1::Button4Click},
      {&TForm1::WriteProgram1, "WriteProgram1", "Write Program", QKeySequence(Qt::Key_F6),
       &TForm1::Button5Click},
      {&TForm1::VerifyProgram1, "VerifyProgram1", "Verify Program", QKeySequence(Qt::Key_F7),
       &TForm1::Button6Click},
      {&TForm1::ReadData1, "ReadData1", "Read Data", QKeySequence(Qt::SHIFT | Qt::Key_F5),
       &TForm1::Button8Click},
      {&TForm1::WriteData1, "WriteData1", "Write Data", QKeySequence(Qt::SHIFT | Qt::Key_F6),
       &TForm1::Button9Click},
      {&TForm1::VerifyData1, "VerifyData1", "Verify Data", QKeySequence(Qt::SHIFT | Qt::Key_F7),
       &TForm1::Button10Click},
      {nullptr, nullptr, nullptr, {}, nullptr},
      {&TForm1::EraseWriteandVerifyProgram1, "EraseWriteandVerifyProgram1",
       "Erase, Write and Verify Program", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_W),
       &TForm1::EraseWriteandVerifyProgram1Click},
  };
  Edit3->addSeparator()->setObjectName("N5");
  int separators = 6;
  for (const Item& item : items) {
    if (!item.action) {
      Edit3->addSeparator()->setObjectName(QString("N%1").arg(separators++));
      continue;
    }
    QAction* a = Edit3->addAction(item.caption);
    a->setObjectName(item.name);
    a->setShortcut(item.key);
    connect(a, &QAction::triggered, this, item.slot);
    this->*item.action = a;
  }
}

}  // namespace quillet
