// The File menu's four memory items: the dialogs, the format rules and the file work are in
// image/HexFiles.
#include "app/Main.h"
#include "image/HexFiles.h"

namespace quillet {

void TForm1::LoadProgramfromFile1Click() { LoadFileCommand(1); }
void TForm1::SaveProgramtoFile1Click() { SaveFileCommand(1); }
void TForm1::Open1Click() { LoadFileCommand(2); }
void TForm1::Save1Click() { SaveFileCommand(2); }

}  // namespace quillet
