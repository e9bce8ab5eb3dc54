// STUB: being written.
#include "app/Main.h"
namespace quillet {
void TForm1::Button3Click() {}
void TForm1::Button7Click() {}
void TForm1::Button11Click() {}
void TForm1::ChipMenuClick(ChipId) {}
void TForm1::LockFuses1Click() {}
}
