// STUB: being written.
#include "app/Main.h"
namespace quillet {
bool TForm1::RichEditKeyDown(int, int&) { return false; }
bool TForm1::Edit2KeyDown(int&) { return false; }
bool TForm1::eventFilter(QObject* w, QEvent* e) { return QMainWindow::eventFilter(w, e); }
}
