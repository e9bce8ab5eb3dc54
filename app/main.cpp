#include <QApplication>
#include "app/Main.h"
int main(int argc, char** argv) {
  QApplication app(argc, argv);
  quillet::TForm1 w;
  w.show();
  return app.exec();
}
