// STUB: being written.
#include "app/Main.h"
namespace quillet {
void TForm1::LoadProgramfromFile1Click() {}
void TForm1::SaveProgramtoFile1Click() {}
void TForm1::Open1Click() {}
void TForm1::Save1Click() {}
}
