#include <QApplication>
#include <QStringList>

#include "app/MainWindow.h"
#include "app/QtHostInterfaces.h"
#include "dialogs/AboutDialog.h"
#include "dialogs/LockFusesDialog.h"
#include "dialogs/ProgressWindow.h"

namespace {

// The one launch option: --port NAME (or --port=NAME) becomes the port box's initial text.
QString PortArgument(const QStringList& args) {
  for (int i = 1; i < args.size(); ++i) {
    if (args[i] == "--port" && i + 1 < args.size()) return args[i + 1];
    if (args[i].startsWith("--port=")) return args[i].mid(7);
  }
  return QString();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // The user's settings: ~/.config/quillet/quillet.conf.
  QCoreApplication::setOrganizationName("quillet");
  QCoreApplication::setApplicationName("quillet");
  using namespace quillet;

  QtUserPrompt prompt;
  QtProgressFactory progress;
  SetUserPrompt(&prompt);
  SetProgressFactory(&progress);

  const QString port = PortArgument(QApplication::arguments());
  Form1 = new MainWindow(port);
  Form1->setAttribute(Qt::WA_DeleteOnClose, false);
  prompt.SetOwner(Form1);
  progress.SetOwner(Form1);
  AboutBox = new AboutDialog(Form1);
  LBar = new ProgressWindow(Form1);
  LockFusesForm = new LockFusesDialog(Form1);
  // --port, when given, wins over the remembered port.
  Form1->RestoreSettings(port);

  Form1->show();
  const int result = app.exec();

  SetUserPrompt(nullptr);
  SetProgressFactory(nullptr);
  delete Form1;  // its dialogs go with it
  return result;
}
