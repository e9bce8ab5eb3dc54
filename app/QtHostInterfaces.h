// The real seams of the window: Qt message boxes and file dialogs, and the progress dialog.
#pragma once

#include <QString>
#include <functional>

#include "log/HostInterfaces.h"

class QWidget;

namespace quillet {

class QtUserPrompt : public UserPrompt {
 public:
  // The dialogs' owner; nullptr gives boxes without owner.
  explicit QtUserPrompt(QWidget* owner = nullptr) : owner_(owner) {}
  void SetOwner(QWidget* owner) { owner_ = owner; }

  bool AskYesNo(const std::string& caption, const std::string& text) override;
  Changes AskSaveChanges(const std::string& caption, const std::string& text) override;
  void ShowMessage(const std::string& caption, const std::string& text) override;
  std::optional<FileChoice> OpenFile() override;
  // One save dialog for every save command: it opens with the last chosen name and filter.
  std::optional<FileChoice> SaveFile() override;
  // Offers *.rtf, adds .rtf to a name without an extension, and opens where the last file
  // was saved; the memory files' filter and name stay as they were.
  std::optional<FileChoice> SaveLogFile() override;

  // Where a dialog opens: its folder (that of the last file chosen) and its filter. The
  // window keeps them in the user's settings.
  struct Place {
    QString folder;
    QString filter;
  };
  Place OpenPlace() const;
  Place SavePlace() const;
  void SetOpenPlace(const Place& place);
  void SetSavePlace(const Place& place);
  // Called after a file was chosen in either dialog (the places changed).
  void SetChosenHandler(std::function<void()> handler) { chosen_ = std::move(handler); }

 private:
  QWidget* owner_;
  std::function<void()> chosen_;
  QString lastOpenName_;
  QString lastOpenFilter_;
  QString lastOpenFolder_;  // used while no name was chosen in this run
  QString lastSaveName_;
  QString lastSaveFilter_;
  QString lastSaveFolder_;
};

class QtProgressFactory : public ProgressFactory {
 public:
  explicit QtProgressFactory(QWidget* owner = nullptr) : owner_(owner) {}
  void SetOwner(QWidget* owner) { owner_ = owner; }
  std::unique_ptr<ProgressDialog> Create() override;

 private:
  QWidget* owner_;
};

// "*.hex;;*.eep;;*.bin" as the dialogs list them, and the 1-based index of one of them.
QString FileFilters();
int FilterIndex(const QString& filter);

}  // namespace quillet
