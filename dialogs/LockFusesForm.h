// STUB: being written. The Lock & Fuses dialog.
#pragma once
#include <QDialog>
namespace quillet {
class TLockFusesForm : public QDialog {
  Q_OBJECT
 public:
  explicit TLockFusesForm(QWidget* parent = nullptr) : QDialog(parent) {}
};
extern TLockFusesForm* LockFusesForm;
}
