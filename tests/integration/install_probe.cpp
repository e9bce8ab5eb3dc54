// A Qt generic plugin that looks at a running, installed quillet from the inside, so the test
// needs no option in the program itself. Loaded with
//   QT_PLUGIN_PATH=<folder holding generic/> QT_QPA_GENERIC_PLUGINS=quilletprobe quillet
// it selects every chip of the Chip menu and clicks the About box's three links, then prints
// one line for each and ends the program:
//   chip ATtiny2313: shown 335x117
//   chip ATtiny2313: message <the message box's text on one line>
//   link Label5: /prefix/share/doc/quillet/gateway.md      (what the link opened)
//   link Label5: message <text>                           (no document: the program said so)
// It only uses what any Qt program shows: object names, slots, message boxes, opened URLs.
#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QGenericPlugin>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <cstdio>

namespace {

class Probe : public QObject {
  Q_OBJECT

 public:
  Probe() {
    // Message boxes run their own event loop; this timer keeps running inside it.
    closer_.setInterval(10);
    connect(&closer_, &QTimer::timeout, this, &Probe::CloseMessageBoxes);
    closer_.start();
    QTimer::singleShot(0, this, &Probe::WaitForWindow);
  }

 public slots:
  void Opened(const QUrl& url) { opened_ = url.isLocalFile() ? url.toLocalFile() : url.toString(); }

 private:
  void CloseMessageBoxes() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(widget);
      if (!box || !box->isVisible()) continue;
      message_ = box->text().replace(QLatin1Char('\n'), QLatin1Char(' '));
      box->done(QMessageBox::Ok);
    }
  }

  QWidget* Window() const {
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (widget->objectName() == QLatin1String("Form1")) return widget;
    return nullptr;
  }

  void WaitForWindow() {
    QWidget* window = Window();
    if (!window || !window->isVisible() || !window->findChild<QDialog*>(QStringLiteral("AboutBox"))) {
      // At least 30 s, well inside the test's own limit, for a sanitized build on a busy machine.
      if (++tries_ > 3000) return Finish("the window Form1 with its AboutBox did not appear", 1);
      QTimer::singleShot(10, this, &Probe::WaitForWindow);
      return;
    }
    Run(window);
  }

  static void ChipItems(QMenu* menu, QList<QAction*>& items) {
    for (QAction* action : menu->actions()) {
      if (action->menu()) ChipItems(action->menu(), items);
      else if (!action->isSeparator()) items.append(action);
    }
  }

  void Run(QWidget* window) {
    auto* chipMenu = window->findChild<QMenu*>(QStringLiteral("chipMenu"));
    auto* picture = window->findChild<QLabel*>(QStringLiteral("wiringPicture"));
    if (!chipMenu || !picture) return Finish("no Chip menu (chipMenu) or picture box (wiringPicture)", 1);
    QList<QAction*> items;
    ChipItems(chipMenu, items);
    for (QAction* item : items) {
      picture->clear();
      message_.clear();
      item->trigger();
      const QString name = item->text().remove(QLatin1Char('&'));
      if (!message_.isEmpty())
        Print(QStringLiteral("chip %1: message %2").arg(name, message_));
      else if (picture->pixmap().isNull())
        Print(QStringLiteral("chip %1: nothing shown").arg(name));
      else
        Print(QStringLiteral("chip %1: shown %2x%3").arg(name).arg(picture->pixmap().width()).arg(picture->pixmap().height()));
    }

    QDialog* about = window->findChild<QDialog*>(QStringLiteral("AboutBox"));
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "Opened");
    for (const char* link : {"Label5", "Label7", "Label11"}) {
      opened_.clear();
      message_.clear();
      const QByteArray slot = QByteArray(link) + "Click";
      if (!QMetaObject::invokeMethod(about, slot.constData(), Qt::DirectConnection))
        Print(QStringLiteral("link %1: no slot %2").arg(QLatin1String(link), QLatin1String(slot)));
      else if (!opened_.isEmpty())
        Print(QStringLiteral("link %1: %2").arg(QLatin1String(link), opened_));
      else
        Print(QStringLiteral("link %1: message %2").arg(QLatin1String(link), message_));
    }
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    Finish("done", 0);
  }

  static void Print(const QString& line) {
    std::fprintf(stdout, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
  }

  void Finish(const char* why, int status) {
    closer_.stop();
    Print(QStringLiteral("probe: %1").arg(QLatin1String(why)));
    QCoreApplication::exit(status);
  }

  QTimer closer_;
  QString message_;
  QString opened_;
  int tries_ = 0;
};

class ProbePlugin : public QGenericPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "install_probe.json")

 public:
  QObject* create(const QString& key, const QString&) override {
    return key.compare(QLatin1String("quilletprobe"), Qt::CaseInsensitive) == 0 ? new Probe : nullptr;
  }
};

}  // namespace

#include "install_probe.moc"
