// The About box: one instance, shown and hidden; links open their documents.
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include "WindowChecks.h"
#include "app/MainWindow.h"
#include "dialogs/AboutDialog.h"
#include "support/Fakes.h"

using namespace quillet;

class UrlRecorder : public QObject {
  Q_OBJECT
 public slots:
  void open(const QUrl& url) { opened.append(url); }

 public:
  QList<QUrl> opened;
};

class AboutTest : public QObject {
  Q_OBJECT

 private slots:
  void layout() {
    AboutDialog box;
    QCOMPARE(box.windowTitle(), QString("About Quillet"));
    QCOMPARE(box.size(), QSize(258, 272).expandedTo(box.sizeHint()));
    QVERIFY(!(box.windowFlags() & Qt::WindowCloseButtonHint));
    QVERIFY(!(box.windowFlags() & Qt::WindowSystemMenuHint));
    QCOMPARE(box.panel->frameShape(), QFrame::Box);  // lowered outside, raised inside
    QCOMPARE(box.panel->frameShadow(), QFrame::Sunken);
    QVERIFY(box.OKButton->isDefault());
    QCOMPARE(box.Label5->text(), QString("Tessary gateway"));
    QCOMPARE(box.Label8->text(), QString("Version 3.0 beta"));
    box.show();
    // With the desktop's default font the longer lines ran past the panel's edge.
    for (const QSize size : {box.size(), box.size() + QSize(200, 100)}) {
      box.resize(size);
      QCoreApplication::processEvents();
      QVERIFY2(test::ClippedCaptions(&box).isEmpty(), qPrintable(test::ClippedCaptions(&box).join(" | ")));
      for (QLabel* label : box.panel->findChildren<QLabel*>())
        QVERIFY2(box.panel->contentsRect().contains(label->geometry()), qPrintable(label->objectName()));
    }
    QVERIFY2(test::UnnamedControls(&box).isEmpty(), qPrintable(test::UnnamedControls(&box).join(" | ")));
    QCOMPARE(test::TabChain(box.OKButton), QStringList({"OKButton", "Label5", "Label7", "Label11"}));
    QCOMPARE(box.Label12->text(), QString("2026"));
  }

  // Guards: the links opened README.md in the source tree of the machine that built the program,
  // and "help" opened the README a second time.
  void documentsComeWithTheProgram() {
    const QString sourceDir = QFileInfo(QStringLiteral(__FILE__)).absoluteDir().absoluteFilePath("../..");
    {
      AboutDialog box;
      for (const QUrl& url : {box.Label5Url, box.Label7Url, box.Label11Url}) {
        QVERIFY2(!url.toString().contains(QDir::cleanPath(sourceDir) + "/README.md"), qPrintable(url.toString()));
        QVERIFY2(!url.toString().contains(QDir::cleanPath(sourceDir) + "/docs/"), qPrintable(url.toString()));
      }
    }
    const QString installed = "share/doc/quillet/", built = "bin/docs/";
    const struct {
      QStringList present;  // under the temporary prefix; the program is in bin/
      QString gateway, readme, guide;  // what the links open; empty: not found
    } cases[] = {
        {{installed + "gateway.md", installed + "README.md", installed + "user-guide.md"},
         installed + "gateway.md", installed + "README.md", installed + "user-guide.md"},
        {{built + "gateway.md", built + "README.md", built + "user-guide.md"},
         built + "gateway.md", built + "README.md", built + "user-guide.md"},
        {{installed + "README.md", built + "README.md", built + "user-guide.md"},
         "", installed + "README.md", built + "user-guide.md"},
        {{"bin/README.md", "docs/user-guide.md", "bin/gateway.md"}, "", "", ""},
    };
    for (const auto& c : cases) {
      QTemporaryDir prefix;
      QDir(prefix.path()).mkpath("bin");
      for (const QString& file : c.present) {
        QDir(prefix.path()).mkpath(QFileInfo(file).path());
        QVERIFY(QFile(prefix.filePath(file)).open(QIODevice::WriteOnly));
      }
      AboutDialog box;
      box.LocateDocuments(prefix.filePath("bin"));
      auto expected = [&](const QString& file) {
        return file.isEmpty() ? QUrl() : QUrl::fromLocalFile(prefix.filePath(file));
      };
      QCOMPARE(box.Label5Url, expected(c.gateway));
      QCOMPARE(box.Label7Url, expected(c.readme));
      QCOMPARE(box.Label11Url, expected(c.guide));
    }
  }

  void linksOpenTheirDocuments() {
    test::CoreFixture fixture;
    QTemporaryDir prefix;
    QDir(prefix.path()).mkpath("bin/docs");
    for (const char* file : {"gateway.md", "README.md"})  // the user guide is missing
      QVERIFY(QFile(prefix.filePath(QString("bin/docs/") + file)).open(QIODevice::WriteOnly));
    AboutDialog box;
    box.LocateDocuments(prefix.filePath("bin"));
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler("file", &recorder, "open");
    box.show();
    QTest::mouseMove(box.Label5);
    QTest::mouseClick(box.Label7, Qt::RightButton);  // only a left click opens a link
    QTest::mouseClick(box.Label5, Qt::LeftButton);
    QTest::mouseClick(box.Label11, Qt::LeftButton);
    // By the keyboard and by an assistive tool's press.
    QTest::keyClick(box.Label7, Qt::Key_Return);
    QTest::keyClick(box.Label5, Qt::Key_Space);
    QAccessibleInterface* link = QAccessible::queryAccessibleInterface(box.Label7);
    QCOMPARE(link->role(), QAccessible::Link);
    QCOMPARE(link->text(QAccessible::Name), QString("quillet/README.md"));
    link->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    QDesktopServices::unsetUrlHandler("file");
    const QUrl gateway = QUrl::fromLocalFile(prefix.filePath("bin/docs/gateway.md"));
    const QUrl readme = QUrl::fromLocalFile(prefix.filePath("bin/docs/README.md"));
    QCOMPARE(recorder.opened, (QList<QUrl>{gateway, readme, gateway, readme}));
    // A missing document is said so, with where it belongs.
    QCOMPARE(fixture.prompt.messages.size(), size_t(1));
    const QString message = QString::fromStdString(fixture.prompt.messages[0]);
    QVERIFY2(message.startsWith("Error|The document user-guide.md was not found") &&
                 message.contains(prefix.filePath("share/doc/quillet/user-guide.md")),
             qPrintable(message));
  }

  void showTwiceIsOneBox() {
    test::CoreFixture fixture;
    MainWindow form;
    form.move(0, 0);
    form.show();
    AboutDialog box(&form);
    AboutDialog* before = AboutBox;
    AboutBox = &box;
    form.AboutClick();
    QVERIFY(box.isVisible());
    // Centred on the screen, not over the main window.
    const QPoint screenCentre = box.screen()->availableGeometry().center();
    QVERIFY2((box.geometry().center() - screenCentre).manhattanLength() <= 2,
             qPrintable(QString("%1,%2").arg(box.geometry().center().x()).arg(box.geometry().center().y())));
    QMouseEvent move(QEvent::MouseMove, QPointF(2, 2), box.Label7->mapToGlobal(QPointF(2, 2)), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(box.Label7, &move);
    QCOMPARE(box.Label7->cursor().shape(), Qt::PointingHandCursor);
    form.AboutClick();  // while shown: still one box
    QTest::mouseClick(box.OKButton, Qt::LeftButton);
    QVERIFY(!box.isVisible());
    form.AboutClick();
    QVERIFY(box.isVisible());
    QCOMPARE(box.Label7->cursor().shape(), Qt::PointingHandCursor);
    int boxes = 0;
    for (QWidget* w : QApplication::topLevelWidgets()) boxes += qobject_cast<AboutDialog*>(w) != nullptr;
    QCOMPARE(boxes, 1);
    AboutBox = before;
  }
};

QTEST_MAIN(AboutTest)
#include "about_test.moc"
