// STUB: being written. The About box.
#pragma once
#include <QDialog>
namespace quillet {
class TAboutBox : public QDialog {
  Q_OBJECT
 public:
  explicit TAboutBox(QWidget* parent = nullptr) : QDialog(parent) {}
};
extern TAboutBox* AboutBox;
}
