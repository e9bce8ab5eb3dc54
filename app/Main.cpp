// STUB (layout, start-up, connect/disconnect): being written.
#include "app/Main.h"
#include <QCloseEvent>
namespace quillet {
TForm1* Form1 = nullptr;
TForm1::TForm1(const QString& initialPort, QWidget* parent) : QMainWindow(parent) { BuildLayout(initialPort); }
TForm1::~TForm1() = default;
void TForm1::BuildLayout(const QString&) {}
void TForm1::BuildMenus() {}
void TForm1::AppendLine(const std::string&) {}
void TForm1::ConnectPort() {}
void TForm1::DisconnectPort() {}
void TForm1::Button1Click() {}
void TForm1::Button2Click() {}
void TForm1::ComboBox1Change() {}
void TForm1::TrackBar1Change() {}
void TForm1::Exit1Click() {}
void TForm1::SaveLogas1Click() {}
void TForm1::About1Click() {}
void TForm1::closeEvent(QCloseEvent* e) { e->accept(); }
}
