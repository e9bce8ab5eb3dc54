// The wiring picture of the selected chip in the picture box (wiringPicture): while Quillet's firmware is
// the gateway, the one with the Arduino's pins and the decoupling capacitor; its accessible
// description says the wiring in words.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QPixmap>

#include "app/JpegDecode.h"
#include "app/MainWindow.h"
#include "chips/FastTransport.h"
#include "chips/Wiring.h"

#ifndef QUILLET_PICTURE_DIR
#define QUILLET_PICTURE_DIR ""
#endif

namespace quillet {
namespace {

// The installed pictures beside the program first, so a relocated install finds its own; then
// the build folder's. The working directory comes last: it still supplies a picture the program
// lacks, but a stray file there cannot replace one that came with the program.
QString FindPicture(const QString& name) {
  if (name.isEmpty()) return {};
  const QString exeDir = QCoreApplication::applicationDirPath();
  const QStringList folders = {QDir::cleanPath(exeDir + QStringLiteral("/../share/quillet/pictures")),
                               QStringLiteral(QUILLET_PICTURE_DIR), exeDir + QStringLiteral("/pictures"),
                               QDir::currentPath()};
  for (const QString& folder : folders) {
    if (folder.isEmpty()) continue;
    const QFileInfo file(QDir(folder), name);
    if (file.isFile()) return file.filePath();
  }
  return {};
}

// The Arduino's picture of a chip ("ATtiny85-Arduino.jpg" beside "ATtiny85.jpg").
std::string ArduinoPictureFile(const std::string& plain) {
  const std::string jpg = ".jpg";
  if (plain.size() <= jpg.size() || plain.compare(plain.size() - jpg.size(), jpg.size(), jpg) != 0) return {};
  return plain.substr(0, plain.size() - jpg.size()) + "-Arduino" + jpg;
}

bool LoadPicture(const QString& path, QPixmap& pixmap) {
  RgbImage rgb;
  if (path.isEmpty() || !DecodeJpegFile(QFile::encodeName(path).toStdString(), rgb)) return false;
  const QImage image(rgb.pixels.data(), rgb.width, rgb.height, rgb.width * 3, QImage::Format_RGB888);
  pixmap = QPixmap::fromImage(image.copy());  // copy: rgb goes out of scope
  return true;
}

}  // namespace

void MainWindow::ShowChipPicture() { ShowWiringPicture(true); }

void MainWindow::FollowGateway() {
  if (!PictureFile.empty() && QuilletGateway() != pictureForQuillet_) ShowWiringPicture(false);
}

void MainWindow::ShowWiringPicture(bool report) {
  pictureForQuillet_ = QuilletGateway();
  const ChipEntry* chip = FindChipByName(ChipName);
  const PartPackage* package = chip ? chip->package : nullptr;
  QPixmap pixmap;
  // With Quillet's firmware the gateway is the Arduino: its pins are drawn, and said. Without that
  // picture the plain one still shows how to wire the chip.
  const bool arduino = pictureForQuillet_ &&
                 LoadPicture(FindPicture(QString::fromStdString(ArduinoPictureFile(PictureFile))), pixmap);
  const QString path = FindPicture(QString::fromStdString(PictureFile));
  if (arduino || LoadPicture(path, pixmap)) {
    if (wiringPicture) {
      wiringPicture->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      wiringPicture->setPixmap(pixmap);
      wiringPicture->setAccessibleDescription(
          package ? QString::fromStdString(WiringText(*package, arduino, SupplyMaxMv(chip->part))) : QString());
    }
    return;
  }
  if (wiringPicture) {
    wiringPicture->clear();
    wiringPicture->setAccessibleDescription({});
  }
  // Said once, when the chip is selected, not again each time the gateway changes.
  if (!report) return;
  const std::string reason = path.isEmpty() ? " was not found." : " cannot be read.";
  GetUserPrompt().ShowMessage(
      "Error", "The connection diagram cannot be shown: the picture file \"" + PictureFile + "\"" + reason +
                   "\nPlease connect the chip according to its datasheet,"
                   "\nor obtain the complete distribution of the program, which contains the pictures.");
}

}  // namespace quillet
