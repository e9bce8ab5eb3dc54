#include "app/QtHostInterfaces.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStringList>

#include "dialogs/ProgressWindow.h"

namespace quillet {

namespace {

const QStringList& Filters() {
  static const QStringList filters = {"*.hex", "*.eep", "*.bin"};
  return filters;
}

// Loading also takes S-records and ELF files; saving writes only the first three.
const QStringList& OpenFilters() {
  static const QStringList filters = Filters() + QStringList{"*.srec *.s19 *.s28 *.s37", "*.elf"};
  return filters;
}

const QStringList& FiltersOf(QFileDialog::AcceptMode mode) {
  return mode == QFileDialog::AcceptSave ? Filters() : OpenFilters();
}

QFileDialog::Options DialogOptions() {
  // The working directory is never changed by Qt's dialogs; the replace question is the
  // caller's business (files are replaced without asking).
  return QFileDialog::DontConfirmOverwrite | QFileDialog::DontUseNativeDialog;
}

std::optional<FileChoice> RunDialog(QWidget* owner, QFileDialog::AcceptMode mode, QString& lastName,
                                    QString& lastFilter, const QString& lastFolder) {
  QFileDialog dialog(owner);
  dialog.setAcceptMode(mode);
  dialog.setFileMode(mode == QFileDialog::AcceptSave ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  dialog.setOptions(DialogOptions());
  dialog.setNameFilters(FiltersOf(mode));
  dialog.setDefaultSuffix(QString());
  if (!lastFilter.isEmpty()) dialog.selectNameFilter(lastFilter);
  if (!lastName.isEmpty()) dialog.selectFile(lastName);
  else if (!lastFolder.isEmpty() && QFileInfo(lastFolder).isDir()) dialog.setDirectory(lastFolder);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return std::nullopt;
  lastName = files.first();
  lastFilter = dialog.selectedNameFilter();
  FileChoice choice;
  choice.path = lastName.toStdString();
  choice.filterIndex = FilterIndex(lastFilter);
  return choice;
}

}  // namespace

QString FileFilters() { return Filters().join(";;"); }

int FilterIndex(const QString& filter) {
  int i = static_cast<int>(Filters().indexOf(filter));
  return i < 0 ? 1 : i + 1;
}

bool QtUserPrompt::AskYesNo(const std::string& caption, const std::string& text) {
  QMessageBox box(QMessageBox::Warning, QString::fromStdString(caption), QString::fromStdString(text),
                  QMessageBox::Yes | QMessageBox::No, owner_);
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

UserPrompt::Changes QtUserPrompt::AskSaveChanges(const std::string& caption, const std::string& text) {
  QMessageBox box(QMessageBox::Question, QString::fromStdString(caption), QString::fromStdString(text),
                  QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, owner_);
  box.setDefaultButton(QMessageBox::Save);
  box.setEscapeButton(QMessageBox::Cancel);
  switch (box.exec()) {
    case QMessageBox::Save:
      return Changes::Save;
    case QMessageBox::Discard:
      return Changes::Discard;
    default:
      return Changes::Cancel;
  }
}

void QtUserPrompt::ShowMessage(const std::string& caption, const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption), QString::fromStdString(text), QMessageBox::Ok,
                  owner_);
  box.exec();
}

std::optional<FileChoice> QtUserPrompt::OpenFile() {
  std::optional<FileChoice> choice =
      RunDialog(owner_, QFileDialog::AcceptOpen, lastOpenName_, lastOpenFilter_, lastOpenFolder_);
  if (choice && chosen_) chosen_();
  return choice;
}

std::optional<FileChoice> QtUserPrompt::SaveFile() {
  std::optional<FileChoice> choice =
      RunDialog(owner_, QFileDialog::AcceptSave, lastSaveName_, lastSaveFilter_, lastSaveFolder_);
  if (choice && chosen_) chosen_();
  return choice;
}

std::optional<FileChoice> QtUserPrompt::SaveLogFile() {
  QFileDialog dialog(owner_, QStringLiteral("Save Log as"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setOptions(DialogOptions());
  dialog.setNameFilters({QStringLiteral("Rich Text Format (*.rtf)"), QStringLiteral("All files (*)")});
  dialog.setDefaultSuffix(QStringLiteral("rtf"));
  if (!lastSaveFolder_.isEmpty() && QFileInfo(lastSaveFolder_).isDir()) dialog.setDirectory(lastSaveFolder_);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  FileChoice choice;
  choice.path = dialog.selectedFiles().first().toStdString();
  return choice;
}

namespace {

QtUserPrompt::Place PlaceOf(const QString& name, const QString& folder, const QString& filter) {
  return {name.isEmpty() ? folder : QFileInfo(name).absolutePath(), filter};
}

}  // namespace

QtUserPrompt::Place QtUserPrompt::OpenPlace() const { return PlaceOf(lastOpenName_, lastOpenFolder_, lastOpenFilter_); }

QtUserPrompt::Place QtUserPrompt::SavePlace() const { return PlaceOf(lastSaveName_, lastSaveFolder_, lastSaveFilter_); }

void QtUserPrompt::SetOpenPlace(const Place& place) {
  lastOpenName_.clear();
  lastOpenFolder_ = place.folder;
  lastOpenFilter_ = OpenFilters().contains(place.filter) ? place.filter : QString();
}

void QtUserPrompt::SetSavePlace(const Place& place) {
  lastSaveName_.clear();
  lastSaveFolder_ = place.folder;
  lastSaveFilter_ = Filters().contains(place.filter) ? place.filter : QString();
}

std::unique_ptr<ProgressDialog> QtProgressFactory::Create() {
  auto* bar = new ProgressWindow(owner_);
  bar->setAttribute(Qt::WA_DeleteOnClose, false);
  bar->ShowCentred();
  return std::unique_ptr<ProgressDialog>(bar);
}

}  // namespace quillet
