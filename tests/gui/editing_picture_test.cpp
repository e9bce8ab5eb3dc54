// The chip wiring pictures: every generated picture (plain and the Arduino's) decodes and fits
// the picture box; a missing or damaged picture gives the message and the chip display still
// completes; a file in the working directory does not replace the program's own picture.
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

#include "app/JpegDecode.h"
#include "app/MainWindow.h"
#include "support/Fakes.h"

using namespace quillet;

class EditingPictureTest : public QObject {
  Q_OBJECT

  QTemporaryDir dir_;
  QString home_;

 private slots:
  void init() {
    home_ = QDir::currentPath();
    QVERIFY(dir_.isValid());
    QDir::setCurrent(dir_.path());
  }
  void cleanup() {
    QDir::setCurrent(home_);
    QFile::remove(dir_.filePath("ATtiny2313.jpg"));
    QFile::remove(dir_.filePath("NoSuchChip.jpg"));
  }

  void everyPictureDecodes() {
    test::CoreFixture fixture;
    MainWindow form;
    const QSize box = form.wiringPicture->minimumSize();  // each picture shows whole
    for (const ChipEntry& chip : Catalogue()) {
      // The plain picture and the Arduino's, shown while Quillet's firmware is the gateway.
      for (const char* suffix : {".jpg", "-Arduino.jpg"}) {
        RgbImage image;
        const std::string path = std::string(QUILLET_PICTURE_DIR) + "/" + chip.name + suffix;
        QVERIFY2(DecodeJpegFile(path, image), path.c_str());
        QVERIFY(image.width > 100 && image.width <= 335 && image.width <= box.width());
        QVERIFY(image.height > 50 && image.height <= 128 && image.height <= box.height());
        QCOMPARE(image.pixels.size(), size_t(image.width) * image.height * 3);
      }
    }
  }

  void shownAfterSelection() {
    test::CoreFixture fixture;
    MainWindow form;
    SelectChip(692510);
    QVERIFY(fixture.prompt.messages.empty());
    const QPixmap pixmap = form.wiringPicture->pixmap();
    QVERIFY(!pixmap.isNull());
    QVERIFY(pixmap.width() <= 335 && pixmap.height() <= 117);
  }

  void missingOrDamagedPicture_data() {
    QTest::addColumn<QByteArray>("contents");  // empty: the file is missing
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << QByteArray() << "was not found";
    // A damaged file used to abort the selection halfway (or end the process).
    QTest::newRow("not a JPEG") << QByteArray("this is no picture") << "cannot be read";
    QTest::newRow("JPEG marker, then garbage") << QByteArray("\xFF\xD8\xFF\xE0garbage", 11) << "cannot be read";
  }
  void missingOrDamagedPicture() {
    QFETCH(QByteArray, contents);
    QFETCH(QString, reason);
    test::CoreFixture fixture;
    MainWindow form;
    SelectChip(692510);  // a picture is showing
    QVERIFY(!form.wiringPicture->pixmap().isNull());
    // No folder of the program has this name; the working directory, looked in last, may.
    PictureFile = "NoSuchChip.jpg";
    if (!contents.isEmpty()) {
      QFile file(dir_.filePath("NoSuchChip.jpg"));
      QVERIFY(file.open(QIODevice::WriteOnly));
      file.write(contents);
      file.close();
    }
    form.chipNameEdit->clear();
    form.RefreshChipDisplay(SelectedChip);
    // The display went on to its end.
    QCOMPARE(form.chipNameEdit->text(), QString("ATtiny2313"));
    QCOMPARE(fixture.prompt.messages.size(), size_t(1));
    const QString message = QString::fromStdString(fixture.prompt.messages[0]);
    QVERIFY2(message.startsWith("Error|") && message.contains(reason), qPrintable(message));
    QCOMPARE(message.count('\n'), 2);
    QVERIFY(form.wiringPicture->pixmap().isNull());
  }

  // Guards: a file of the same name in the working directory replaced the program's picture.
  void workingDirectoryDoesNotShadowThePrograms() {
    QFile file(dir_.filePath("ATtiny2313.jpg"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("this is no picture");
    file.close();
    test::CoreFixture fixture;
    MainWindow form;
    SelectChip(692510);
    QVERIFY(fixture.prompt.messages.empty());
    QVERIFY(!form.wiringPicture->pixmap().isNull());
  }
};

QTEST_MAIN(EditingPictureTest)
#include "editing_picture_test.moc"
