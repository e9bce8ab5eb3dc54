// The wiring picture of the selected chip in the picture box (Image1).
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QPixmap>

#include "app/JpegDecode.h"
#include "app/Main.h"

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

}  // namespace

void TForm1::ShowChipPicture() {
  const QString name = QString::fromStdString(PictureFile);
  const QString path = FindPicture(name);
  RgbImage rgb;
  if (!path.isEmpty() && DecodeJpegFile(QFile::encodeName(path).toStdString(), rgb)) {
    const QImage image(rgb.pixels.data(), rgb.width, rgb.height, rgb.width * 3, QImage::Format_RGB888);
    if (Image1) {
      Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      Image1->setPixmap(QPixmap::fromImage(image.copy()));  // copy: rgb goes out of scope
    }
    return;
  }
  const std::string reason = path.isEmpty() ? " was not found." : " cannot be read.";
  GetUserPrompt().ShowMessage(
      "Error", "The connection diagram cannot be shown: the picture file \"" + PictureFile + "\"" + reason +
                   "\nPlease connect the chip according to its datasheet,"
                   "\nor obtain the complete distribution of the program, which contains the pictures.");
  if (Image1) Image1->clear();
}

}  // namespace quillet
