// The File menu's four memory items, their recent files, and files dropped on the views: the
// dialogs, the format rules and the file work are in image/HexFiles.
#include <QAction>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QUrl>

#include "app/MainWindow.h"
#include "dialogs/ProgressWindow.h"
#include "dialogs/Worker.h"
#include "image/HexFiles.h"

namespace quillet {

namespace {

// Passes the drags and drops on a view's visible area to the window.
class ViewDropFilter : public QObject {
 public:
  ViewDropFilter(MainWindow* form, int view, QObject* parent) : QObject(parent), form_(form), view_(view) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::DragEnter:
      case QEvent::DragMove: {
        auto* drag = static_cast<QDropEvent*>(event);
        // Files only, and never into a running command (its progress dialog lets events
        // through); what they are is checked at the drop, which says why it refuses.
        if (drag->mimeData() && drag->mimeData()->hasUrls() && !ProgressWindow::AnyShowing())
          drag->acceptProposedAction();
        else
          drag->ignore();
        return true;
      }
      case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        if (!drop->mimeData() || !drop->mimeData()->hasUrls() || ProgressWindow::AnyShowing()) {
          drop->ignore();
          return true;
        }
        drop->acceptProposedAction();
        // Loaded here, not later: a load queued behind the drop could start inside a command.
        form_->DropFiles(view_, drop->mimeData()->urls());
        return true;
      }
      default:
        return QObject::eventFilter(watched, event);
    }
  }

 private:
  MainWindow* form_;
  int view_;
};

std::string LocalName(const QString& path) { return QFile::encodeName(path).toStdString(); }

}  // namespace

void MainWindow::LoadProgramClick() {
  if (std::optional<FileChoice> choice = GetUserPrompt().OpenFile())
    LoadNamedFile(1, choice->path);
}

void MainWindow::SaveProgramClick() {
  if (std::optional<FileChoice> choice = GetUserPrompt().SaveFile()) {
    const std::string path = SaveChosenFile(*choice, 1);
    if (!path.empty()) AddRecentFile(1, QFile::decodeName(path.c_str()));
  }
}

void MainWindow::LoadDataClick() {
  if (std::optional<FileChoice> choice = GetUserPrompt().OpenFile())
    LoadNamedFile(2, choice->path);
}

void MainWindow::SaveDataClick() {
  if (std::optional<FileChoice> choice = GetUserPrompt().SaveFile()) {
    const std::string path = SaveChosenFile(*choice, 2);
    if (!path.empty()) AddRecentFile(2, QFile::decodeName(path.c_str()));
  }
}

bool MainWindow::LoadNamedFile(int image, const std::string& path) {
  if (!LoadChosenFile(path, image)) return false;
  AddRecentFile(image, QFile::decodeName(path.c_str()));
  return true;
}

void MainWindow::RecentFileClick(int image, const QString& path) {
  if (!QFileInfo::exists(path)) {
    // Gone since the menu was shown: say so rather than load nothing.
    RefreshRecentMenu(image);
    GetUserPrompt().ShowMessage("Error", "The file " + LocalName(path) + " no longer exists.");
    return;
  }
  LoadNamedFile(image, LocalName(path));
}

void MainWindow::DropFiles(int view, const QList<QUrl>& urls) {
  const int image = view == 1 || view == 2 ? 1 : view == 3 || view == 4 ? 2 : 0;
  if (image == 0 || urls.isEmpty() || WorkRunning()) return;
  if (urls.size() > 1) {
    GetUserPrompt().ShowMessage("Error", std::to_string(urls.size()) +
                                             " files were dropped; drop one memory file (Intel "
                                             "HEX, S-record, ELF, binary) at a time. Nothing was "
                                             "loaded.");
    return;
  }
  const QUrl& url = urls.first();
  if (!url.isLocalFile()) {
    GetUserPrompt().ShowMessage("Error", url.toDisplayString().toStdString() +
                                             " is not a file on this computer. Nothing was loaded.");
    return;
  }
  const QString path = QDir::cleanPath(url.toLocalFile());
  if (QFileInfo(path).isDir()) {
    GetUserPrompt().ShowMessage("Error", LocalName(path) +
                                             " is a folder; drop a memory file (Intel HEX, "
                                             "S-record, ELF, binary). Nothing was loaded.");
    return;
  }
  LoadNamedFile(image, LocalName(path));
}

QStringList MainWindow::WithRecent(QStringList list, const QString& path) {
  list.removeAll(path);
  list.prepend(path);
  while (list.size() > kRecentCount) list.removeLast();
  return list;
}

QStringList MainWindow::RecentFileList(int image) const {
  return image == 1 || image == 2 ? recent_[image] : QStringList();
}

void MainWindow::AddRecentFile(int image, const QString& path) {
  if ((image != 1 && image != 2) || path.isEmpty()) return;
  recent_[image] = WithRecent(recent_[image], QFileInfo(path).absoluteFilePath());
  RefreshRecentMenu(image);
  SettingsChanged();
}

void MainWindow::RefreshRecentMenu(int image) {
  QMenu* menu = image == 1 || image == 2 ? RecentFiles[image] : nullptr;
  if (!menu) return;
  menu->clear();
  int n = 0;
  for (const QString& path : recent_[image]) {
    ++n;
    // "&1 name.hex  (/folder)": the number is the item's key; the folder tells equal names apart.
    const QFileInfo info(path);
    QString name = info.fileName() + "  (" + info.absolutePath() + ")";
    QAction* a = menu->addAction(QString("&%1 ").arg(n) + name.replace("&", "&&"));
    a->setObjectName(QString("Recent%1File%2").arg(image).arg(n));
    a->setData(path);
    a->setToolTip(path);
    a->setEnabled(info.exists() && !info.isDir());
    connect(a, &QAction::triggered, this, [this, image, path] { RecentFileClick(image, path); });
  }
  menu->setEnabled(!recent_[image].isEmpty());
}

void MainWindow::InstallDropTargets() {
  for (int view = 1; view <= 4; ++view) {
    QWidget* area = View(view)->viewport();
    area->setAcceptDrops(true);
    area->installEventFilter(new ViewDropFilter(this, view, area));
  }
}

}  // namespace quillet
