// The Lock & Fuses dialog: the selected chip's fuse and lock bits as check boxes, one box per
// bit under the chip's own name for it. A checked box is a programmed bit (0).
#pragma once

#include <QDialog>
#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "chips/Catalogue.h"
#include "chips/FuseFields.h"
#include "chips/PartTable.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QGridLayout;
class QLabel;
class QGroupBox;
class QKeyEvent;
class QPushButton;

namespace quillet {

// One group box: the byte FuseLockBytes[n] it stands for.
struct FuseGroupLayout {
  const char* caption;  // nullptr: the group is hidden
  const char* bits[8];  // bit 0 first; nullptr: that box is hidden
  uint8_t disabled;     // boxes shown but locked (SPIEN and the fixed bits)
  // What each bit does, for the newer chips (from their rows); the first chips' roles follow
  // from their names.
  FuseRole roles[8] = {};
};

struct BitLayoutRow {
  const char* chips[7];  // the chips sharing this layout, nullptr after the last
  FuseGroupLayout groups[4];
};

// The layout of a chip, nullptr for no chip or an id outside the catalogue.
const BitLayoutRow* FindBitLayout(ChipId id);

// Names of the checked bits that shut the serial programmer out for good (reset disable,
// then debugWIRE enable: RSTDISBL, DWEN, whatever the chip calls them); with a reference (the
// bytes the chip holds), only those it does not have programmed yet.
std::vector<std::string> LockoutBitsChecked(const BitLayoutRow& layout, const std::array<bool, 32>& checked,
                                            const uint8_t* reference = nullptr);

class LockFusesDialog : public QDialog {
  Q_OBJECT

 public:
  explicit LockFusesDialog(QWidget* parent = nullptr);

  void ResetBitBoxes();
  void UncheckAllBits();
  void ShowFuseLockBytes();
  void TakeFuseLockBytes();

  // CheckBox1 ... CheckBox32; n out of range gives nullptr.
  QCheckBox* CheckBox(int n) const;

  QFrame* panel = nullptr;
  std::array<QGroupBox*, 4> GroupBox{};  // GroupBox1 ... GroupBox4
  std::array<QCheckBox*, 32> CheckBoxes{};
  QPushButton* saveCloseButton = nullptr;
  QPushButton* readButton = nullptr;   // Read Lock & Fuses
  QPushButton* writeButton = nullptr;  // Write Lock & Fuses
  // Where the values shown come from: the chip, its factory values, or changes saved here.
  QLabel* SourceLabel = nullptr;
  // The fields in words, under the boxes: each byte in hex (under its group), then one line
  // per field of the chip's device file: its caption and a drop-down of its settings.
  std::array<QLabel*, 4> ByteLabels{};
  std::vector<QLabel*> FieldLabels;
  std::vector<QComboBox*> FieldBoxes;

 public slots:
  void SaveCloseClick();
  void ReadClick();
  void WriteClick();

 protected:
  // The OK button is the one way out: Escape does not close the dialog.
  void keyPressEvent(QKeyEvent* event) override;
  // Opens in the centre of the screen, not over the main window.
  void showEvent(QShowEvent* event) override;
  // Closed from the title bar with changes in the boxes: Save, Discard or Cancel.
  void closeEvent(QCloseEvent* event) override;

 private:
  void ApplyLayout();
  // Asks before a write that would lock the programmer out; true to go on.
  bool ConfirmLockoutBits();
  // Asks before a write that moves the clock to a crystal or clock outside the chip.
  bool ConfirmExternalClock();
  // Asks before writing values that were never read from the chip; true to go on.
  bool ConfirmNeverRead();
  // The boxes differ from FuseLockBytes on a bit they show.
  bool Changed() const;
  void ShowSource();
  // While a read or write runs, nothing here can be changed or pressed.
  void EnterWork();
  void LeaveWork();
  std::vector<std::pair<QWidget*, bool>> enabledBeforeWork_;
  void BuildWords();
  // The byte group g stands for, as its boxes show it (hidden bits unprogrammed).
  uint8_t BoxedByte(int g) const;
  // The words and hex bytes from the boxes, and the boxes from a chosen setting.
  void ShowWords();
  void ChooseSetting(size_t field, int index);

  const ChipFuseFields* fields_ = nullptr;
  QGridLayout* bitsGrid_ = nullptr;   // the groups, each byte in hex under its group
  QGridLayout* wordsGrid_ = nullptr;  // where the values come from, then the fields in words
  bool showingWords_ = false;
};

extern LockFusesDialog* LockFusesForm;

}  // namespace quillet
