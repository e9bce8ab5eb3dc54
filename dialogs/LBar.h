// STUB: being written. The progress dialog.
#pragma once
#include <QDialog>
#include "log/Seams.h"
namespace quillet {
class TLBar : public QDialog {
  Q_OBJECT
 public:
  explicit TLBar(QWidget* parent = nullptr) : QDialog(parent) {}
};
extern TLBar* LBar;
}
