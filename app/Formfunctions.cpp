// STUB: being written.
#include "app/Main.h"
namespace quillet {
void TForm1::EnableControls() {}
void TForm1::DisableControls() {}
void TForm1::RefreshChipDisplay(ChipId) {}
int TForm1::ActivePageIndex() { return 0; }
void TForm1::BlankView(int) {}
void TForm1::ImageToView(int, int) {}
void TForm1::ViewToImage(int, int) {}
QPlainTextEdit* TForm1::View(int) const { return nullptr; }
}
