// STUB: being written.
#include "app/Main.h"
namespace quillet {
void TForm1::Button4Click() {}
void TForm1::Button5Click() {}
void TForm1::Button6Click() {}
void TForm1::Button8Click() {}
void TForm1::Button9Click() {}
void TForm1::Button10Click() {}
void TForm1::RunMemoryOperation(int) {}
}
