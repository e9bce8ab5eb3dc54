// STUB: being written.
#include "app/Main.h"
namespace quillet {
void TForm1::ShowChipPicture() {}
}
