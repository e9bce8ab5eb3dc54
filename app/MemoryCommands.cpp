// The six memory buttons; the work is done by the driver in app/Driver.cpp.
#include "app/Driver.h"
#include "app/Main.h"

namespace quillet {

void TForm1::Button4Click() { RunMemoryOperation(static_cast<int>(MemoryOperation::ReadProgram)); }
void TForm1::Button5Click() { RunMemoryOperation(static_cast<int>(MemoryOperation::WriteProgram)); }
void TForm1::Button6Click() { RunMemoryOperation(static_cast<int>(MemoryOperation::VerifyProgram)); }
void TForm1::Button8Click() { RunMemoryOperation(static_cast<int>(MemoryOperation::ReadData)); }
void TForm1::Button9Click() { RunMemoryOperation(static_cast<int>(MemoryOperation::WriteData)); }
void TForm1::Button10Click() { RunMemoryOperation(static_cast<int>(MemoryOperation::VerifyData)); }

void TForm1::RunMemoryOperation(int operation) {
  if (operation < 0 || operation > static_cast<int>(MemoryOperation::VerifyData)) return;
  RunMemoryCommand(static_cast<MemoryOperation>(operation));
}

}  // namespace quillet
