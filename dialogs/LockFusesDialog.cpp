#include "dialogs/LockFusesDialog.h"

#include <QAbstractItemView>
#include <QBoxLayout>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QStandardItemModel>
#include <algorithm>
#include <cstring>
#include <map>

#include "chips/ChipModule.h"
#include "chips/NewerChips.h"
#include "chips/PartTable.h"
#include "commands/Driver.h"
#include "commands/Steps.h"
#include "dialogs/Worker.h"
#include "log/HostInterfaces.h"

namespace quillet {

LockFusesDialog* LockFusesForm = nullptr;
namespace {

constexpr uint8_t kBit(int k) { return static_cast<uint8_t>(1u << k); }

#define LOCK_BITS_1_2 \
  { "Lock bits", {nullptr, "LB1", "LB2"}, 0 }
#define LOW_FUSES_CKDIV8 \
  { "Low Fuses", {"CKSEL0", "CKSEL1", "CKSEL2", "CKSEL3", "SUT0", "SUT1", "CKOUT", "CKDIV8"}, 0 }

// clang-format off
const BitLayoutRow kBitLayout[] = {
  {{"ATtiny2313"},
   {LOW_FUSES_CKDIV8,
    {"High Fuses", {"RSTDISBL", "BODLEVEL0", "BODLEVEL1", "BODLEVEL2", "WDTON", "SPIEN", "EESAVE", "DWEN"}, kBit(5)},
    {"Extended Fuses", {"SELFPRGEN"}, 0},
    {"Lock bits", {"LB1", "LB2"}, 0}}},
  {{"ATtiny25", "ATtiny45", "ATtiny85", "ATtiny261", "ATtiny461", "ATtiny861"},
   {LOW_FUSES_CKDIV8,
    {"High Fuses", {"BODLEVEL0", "BODLEVEL1", "BODLEVEL2", "EESAVE", "WDTON", "SPIEN", "DWEN", "RSTDISBL"}, kBit(5)},
    {"Extended Fuses", {"SELFPRGEN"}, 0},
    {"Lock bits", {"LB1", "LB2"}, 0}}},
  {{"AT90CAN32", "AT90CAN64", "AT90CAN128"},
   {LOW_FUSES_CKDIV8,
    {"High Fuses", {"BOOTRST", "BOOTSZ0", "BOOTSZ1", "EESAVE", "WDTON", "SPIEN", "JTAGEN", "OCDEN"}, kBit(5)},
    {"Extended Fuses", {"TA0SEL", "BODLEVEL0", "BODLEVEL1", "BODLEVEL2"}, 0},
    {"Lock bits", {"LB1", "LB2", "BLB01", "BLB02", "BLB11", "BLB12"}, 0}}},
  {{"ATtiny13"},
   {{"Low Fuses", {"CKSEL0", "CKSEL1", "SUT0", "SUT1", "CKDIV8", "WDTON", "EESAVE", "SPIEN"}, kBit(7)},
    {"High Fuses", {"RSTDISBL", "BODLEVEL0", "BODLEVEL1", "DWEN", "SELFPRGEN"}, 0},
    {"Lock bits", {"LB1", "LB2"}, 0}}},
  {{"ATtiny26"},
   {{"Low Fuses", {"CKSEL0", "CKSEL1", "CKSEL2", "CKSEL3", "SUT0", "SUT1", "CKOPT", "PLLCK"}, 0},
    {"High Fuses", {"BODEN", "BODLEVEL", "EESAVE", "SPIEN", "RSTDISBL"}, kBit(3)},
    {"Lock bits", {"LB1", "LB2"}, 0}}},
  {{"ATtiny12"},
   {{"Fuse Bits", {"CKSEL0", "CKSEL1", "CKSEL2", "CKSEL3", "RSTDISBL", "SPIEN", "BODEN", "BODLEVEL"}, kBit(5)},
    LOCK_BITS_1_2}},
  {{"ATtiny15"},
   {{"Fuse Bits", {"CKSEL0", "CKSEL1", nullptr, nullptr, "RSTDISBL", "SPIEN", "BODEN", "BODLEVEL"}, kBit(5)},
    LOCK_BITS_1_2}},
  {{"AT90S2333", "AT90S4433"},
   {{"Fuse Bits", {"CKSEL0", "CKSEL1", "CKSEL2", "BODEN", "BODLEVEL", "SPIEN"}, kBit(5)},
    LOCK_BITS_1_2}},
  {{"AT90S2343", "ATtiny22"},
   {{"Fuse Bits", {"RCEN", nullptr, nullptr, nullptr, nullptr, "SPIEN"}, kBit(5)},
    LOCK_BITS_1_2}},
  {{"AT90S2323", "AT90S4434", "AT90S8535"},
   {{"Fuse Bits", {"FSTRT", nullptr, nullptr, nullptr, nullptr, "SPIEN"}, kBit(5)},
    LOCK_BITS_1_2}},
  {{"AT90S2313", "AT90S4414", "AT90S8515"},
   {{"Fuse Bits", {"FSTRT", nullptr, nullptr, nullptr, nullptr, "SPIEN"}, kBit(0) | kBit(5)},
    LOCK_BITS_1_2}},
  {{"AT90S1200"},
   {{"Fuse Bits", {"RCEN", nullptr, nullptr, nullptr, nullptr, "SPIEN"}, kBit(0) | kBit(5)},
    LOCK_BITS_1_2}},
};
// clang-format on

#undef LOCK_BITS_1_2
#undef LOW_FUSES_CKDIV8

// Programmed, these take the reset pin (and with it serial programming) away from the gateway.
const FuseRole kLockoutRoles[] = {FuseRole::ResetDisable, FuseRole::DebugWire};

FuseRole RoleOf(const FuseGroupLayout& group, int k) {
  return group.roles[k] != FuseRole::None ? group.roles[k] : RoleOfName(group.bits[k]);
}

QFont DialogFont() {
  QFont f(QStringLiteral("MS Sans Serif"));
  f.setPixelSize(11);
  return f;
}

// A newer chip's layout from its row of data: its fuse bytes, then the lock byte, as they
// lie in FuseLockBytes; SPIEN shown but locked.
BitLayoutRow LayoutOfPart(const ChipEntry& chip) {
  static const char* const kFuseCaptions[] = {"Low Fuses", "High Fuses", "Extended Fuses"};
  const PartRow& part = *chip.part;
  BitLayoutRow row{};
  row.chips[0] = chip.name;
  const int fuses = std::clamp<int>(part.fuseCount, 0, 3);
  for (int g = 0; g <= fuses; ++g) {
    FuseGroupLayout& group = row.groups[g];
    const bool lock = g == fuses;
    group.caption = lock ? "Lock bits" : kFuseCaptions[g];
    const char* const* names = lock ? part.lockBits : part.fuses[g].bits;
    for (int k = 0; k < 8; ++k) {
      group.bits[k] = names[k];
      group.roles[k] = lock ? FuseRole::None : part.fuses[g].roles[k];
      if (names[k] && group.roles[k] == FuseRole::SpiEnable) group.disabled |= kBit(k);
    }
  }
  return row;
}

// Folded entries keep every value they stand for here; the item's own data is the first.
constexpr int kAlternativesRole = Qt::UserRole + 1;

// The setting's source, the part of its caption before the start-up time.
QString SourceOf(const QString& caption) {
  const qsizetype cut = caption.indexOf(QStringLiteral("; "));
  return cut < 0 ? QString() : caption.left(cut);
}

// The settings of a field, grouped by source in the order the sources first come, a separator
// between groups, those that need a part outside the chip marked; settings the device file
// lists with the same caption more than once are one entry that stands for all their values.
void FillSettings(QComboBox* box, const FuseField& f) {
  // The unlisted item is shown, never chosen.
  box->addItem(QString::fromUtf8(kNotListed), -1);
  if (auto* model = qobject_cast<QStandardItemModel*>(box->model())) model->item(0)->setEnabled(false);
  const std::vector<FuseSetting> settings = FieldSettings(f);
  QStringList sources;
  for (const FuseSetting& s : settings)
    if (!sources.contains(SourceOf(QString::fromUtf8(s.caption)))) sources << SourceOf(QString::fromUtf8(s.caption));
  for (qsizetype g = 0; g < sources.size(); ++g) {
    if (g > 0) box->insertSeparator(box->count());
    std::vector<const FuseSetting*> done;
    for (const FuseSetting& s : settings) {
      const QString caption = QString::fromUtf8(s.caption);
      if (SourceOf(caption) != sources[g]) continue;
      bool folded = false;
      for (const FuseSetting* d : done) folded = folded || std::strcmp(d->caption, s.caption) == 0;
      if (folded) continue;
      done.push_back(&s);
      QVariantList values;
      QStringList hex;
      for (const FuseSetting& same : settings)
        if (std::strcmp(same.caption, s.caption) == 0) {
          values << int(same.value);
          hex << QString::asprintf("0x%02X", same.value);
        }
      QString text = caption;
      if (s.external) text += QStringLiteral("  [external part]");
      if (values.size() > 1) text += QStringLiteral("  (values %1 alike)").arg(hex.join(QStringLiteral(", ")));
      box->addItem(text, int(s.value));
      box->setItemData(box->count() - 1, values, kAlternativesRole);
      box->setItemData(box->count() - 1, QString::fromUtf8(s.name), Qt::ToolTipRole);
    }
  }
  // The box shows its longest setting whole, its list at most a screenful.
  box->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  box->setMaxVisibleItems(16);
  box->view()->setMinimumWidth(box->view()->sizeHintForColumn(0) + 24);
}

// The entry that stands for a value, 0 (not listed) for none.
int IndexOfValue(const QComboBox* box, uint8_t value) {
  for (int i = 1; i < box->count(); ++i)
    if (box->itemData(i, kAlternativesRole).toList().contains(int(value))) return i;
  return 0;
}

}  // namespace

const BitLayoutRow* FindBitLayout(ChipId id) {
  const ChipEntry* e = FindChip(id);
  if (!e) return nullptr;
  if (e->part) {
    // Built once per chip; the dialog and its callers keep the pointer.
    static std::map<const PartRow*, BitLayoutRow> built;
    auto it = built.find(e->part);
    if (it == built.end()) it = built.emplace(e->part, LayoutOfPart(*e)).first;
    return &it->second;
  }
  for (const BitLayoutRow& row : kBitLayout)
    for (const char* const* c = row.chips; *c; ++c)
      if (std::strcmp(*c, e->name) == 0) return &row;
  return nullptr;
}

std::vector<std::string> LockoutBitsChecked(const BitLayoutRow& layout, const std::array<bool, 32>& checked,
                                            const uint8_t* reference) {
  std::vector<std::string> names;
  for (FuseRole risky : kLockoutRoles)
    for (int g = 0; g < 4; ++g) {
      const FuseGroupLayout& group = layout.groups[g];
      if (!group.caption || std::strcmp(group.caption, "Lock bits") == 0) continue;
      for (int k = 0; k < 8; ++k) {
        const char* name = group.bits[k];
        if (name && RoleOf(group, k) == risky && checked[8 * g + k] && (!reference || (reference[g] & kBit(k))))
          names.push_back(name);
      }
    }
  return names;
}

LockFusesDialog::LockFusesDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setObjectName(QStringLiteral("LockFusesForm"));
  setWindowTitle(QStringLiteral("Lock & Fuses"));
  setFont(DialogFont());
  setSizeGripEnabled(true);

  panel = new QFrame(this);
  panel->setObjectName(QStringLiteral("panel"));
  bitsGrid_ = new QGridLayout(panel);
  bitsGrid_->setContentsMargins(1, 1, 1, 1);
  for (int g = 0; g < 4; ++g) {
    auto* box = new QGroupBox(QStringLiteral("Byte %1").arg(g), panel);
    box->setObjectName(QStringLiteral("GroupBox%1").arg(g + 1));
    GroupBox[g] = box;
    auto* column = new QVBoxLayout(box);
    column->setSpacing(0);
    // Bit 7 at the top, bit 0 at the bottom, and made in that order for the Tab chain.
    for (int k = 7; k >= 0; --k) {
      auto* check = new QCheckBox(QStringLiteral("Bit %1").arg(k), box);
      check->setObjectName(QStringLiteral("CheckBox%1").arg(8 * g + k + 1));
      CheckBoxes[8 * g + k] = check;
      column->addWidget(check);
    }
    column->addStretch(1);
    bitsGrid_->addWidget(box, 0, g);
  }

  struct ButtonInfo {
    QPushButton*& button;
    const char* name;
    const char* caption;
    void (LockFusesDialog::*slot)();
  };
  const ButtonInfo buttons[] = {
      {saveCloseButton, "saveCloseButton", "Save changes && Close the window", &LockFusesDialog::SaveCloseClick},
      {readButton, "readButton", "Read Lock && Fuses", &LockFusesDialog::ReadClick},
      {writeButton, "writeButton", "Write Lock && Fuses", &LockFusesDialog::WriteClick},
  };
  auto* buttonRow = new QHBoxLayout;
  for (const ButtonInfo& b : buttons) {
    b.button = new QPushButton(QString::fromUtf8(b.caption), this);
    b.button->setObjectName(QString::fromUtf8(b.name));
    b.button->setAutoDefault(false);
    connect(b.button, &QPushButton::clicked, this, b.slot);
    buttonRow->addWidget(b.button, b.button == saveCloseButton ? 5 : 3);
  }

  wordsGrid_ = new QGridLayout;
  wordsGrid_->setColumnStretch(0, 1);
  wordsGrid_->setVerticalSpacing(2);
  auto* whole = new QVBoxLayout(this);
  whole->setContentsMargins(4, 4, 4, 4);
  whole->addWidget(panel);
  whole->addLayout(buttonRow);
  whole->addLayout(wordsGrid_);
  whole->addStretch(1);

  ResetBitBoxes();
  ApplyLayout();
  BuildWords();
  connect(&Work(), &WorkNotifier::started, this, &LockFusesDialog::EnterWork);
  connect(&Work(), &WorkNotifier::ended, this, &LockFusesDialog::LeaveWork);
  for (QCheckBox* check : CheckBoxes) connect(check, &QCheckBox::toggled, this, &LockFusesDialog::ShowWords);
  ShowFuseLockBytes();
  ShowWords();
  ShowSource();
  panel->setVisible(true);
  // At least as wide as the bits' panel always was; as tall as the chip's fields need.
  resize(sizeHint().expandedTo(QSize(443, 0)));
}

void LockFusesDialog::BuildWords() {
  const BitLayoutRow* layout = FindBitLayout(SelectedChip);
  if (!layout) return;
  const ChipEntry* chip = FindChip(SelectedChip);
  fields_ = chip ? FuseFieldsOf(chip->name) : nullptr;
  SourceLabel = new QLabel(this);
  SourceLabel->setObjectName(QStringLiteral("SourceLabel"));
  SourceLabel->setWordWrap(true);
  wordsGrid_->addWidget(SourceLabel, 0, 0, 1, 2);
  for (int g = 0; g < 4; ++g) {
    if (!layout->groups[g].caption) continue;
    // Each byte in hex under its group.
    ByteLabels[g] = new QLabel(panel);
    ByteLabels[g]->setObjectName(QStringLiteral("ByteLabel%1").arg(g + 1));
    ByteLabels[g]->setAlignment(Qt::AlignCenter);
    ByteLabels[g]->setAccessibleName(GroupBox[g]->title() + QStringLiteral(" in hex"));
    bitsGrid_->addWidget(ByteLabels[g], 1, g);
  }
  // Two fields of one caption (the boot loader's two protection modes) tell apart by name.
  std::map<std::string, int> captions;
  for (size_t i = 0; fields_ && i < fields_->count; ++i) ++captions[fields_->fields[i].caption];
  for (size_t i = 0; fields_ && i < fields_->count; ++i) {
    const FuseField& f = fields_->fields[i];
    QString caption = QString::fromUtf8(f.caption);
    if (captions[f.caption] > 1) caption += QStringLiteral(" (%1)").arg(QString::fromUtf8(f.name));
    auto* label = new QLabel(caption, this);
    label->setObjectName(QStringLiteral("FieldLabel%1").arg(i + 1));
    label->setToolTip(QString::fromUtf8(f.name));
    label->setWordWrap(true);
    label->setMinimumWidth(150);
    auto* box = new QComboBox(this);
    box->setObjectName(QStringLiteral("FieldBox%1").arg(i + 1));
    label->setBuddy(box);
    FillSettings(box, f);
    // A field on a locked box (SPIEN) is locked too.
    bool locked = false;
    for (int k = 0; k < 8; ++k) locked = locked || (f.mask >> k & 1 && !CheckBoxes[8 * f.byte + k]->isEnabled());
    box->setEnabled(!locked);
    connect(box, &QComboBox::activated, this, [this, i](int index) { ChooseSetting(i, index); });
    wordsGrid_->addWidget(label, int(i) + 1, 0);
    wordsGrid_->addWidget(box, int(i) + 1, 1);
    FieldLabels.push_back(label);
    FieldBoxes.push_back(box);
  }
}

uint8_t LockFusesDialog::BoxedByte(int g) const {
  const BitLayoutRow* layout = FindBitLayout(SelectedChip);
  uint8_t byte = 0xFF;
  for (int k = 0; layout && k < 8; ++k)
    if (layout->groups[g].bits[k] && CheckBoxes[8 * g + k]->isChecked()) byte &= static_cast<uint8_t>(~kBit(k));
  return byte;
}

void LockFusesDialog::ShowWords() {
  if (showingWords_) return;
  for (int g = 0; g < 4; ++g)
    if (ByteLabels[g]) ByteLabels[g]->setText(QString::asprintf("0x%02X", BoxedByte(g)));
  for (size_t i = 0; i < FieldBoxes.size(); ++i) {
    const FuseSetting* s = SettingOf(fields_->fields[i], BoxedByte(fields_->fields[i].byte));
    FieldBoxes[i]->setCurrentIndex(s ? IndexOfValue(FieldBoxes[i], s->value) : 0);
    FieldBoxes[i]->setToolTip(FieldBoxes[i]->currentText());
  }
}

void LockFusesDialog::ChooseSetting(size_t field, int index) {
  const FuseField& f = fields_->fields[field];
  const QVariant data = FieldBoxes[field]->itemData(index);
  const int value = data.isValid() ? data.toInt() : -1;
  // A folded entry chosen while the byte already holds one of its values keeps that value.
  const uint8_t now = FieldValue(f, BoxedByte(f.byte));
  const bool held = FieldBoxes[field]->itemData(index, kAlternativesRole).toList().contains(int(now));
  if (value >= 0 && !held) {
    const uint8_t byte = WithFieldValue(f, BoxedByte(f.byte), static_cast<uint8_t>(value));
    showingWords_ = true;
    for (int k = 0; k < 8; ++k)
      if (f.mask >> k & 1) CheckBoxes[8 * f.byte + k]->setChecked(!(byte >> k & 1));
    showingWords_ = false;
  }
  ShowWords();
}

QCheckBox* LockFusesDialog::CheckBox(int n) const { return n >= 1 && n <= 32 ? CheckBoxes[n - 1] : nullptr; }

void LockFusesDialog::ResetBitBoxes() {
  panel->setVisible(false);
  for (QGroupBox* box : GroupBox) box->setVisible(false);
  for (QCheckBox* check : CheckBoxes) check->setVisible(false);
  UncheckAllBits();
  for (QCheckBox* check : CheckBoxes) check->setEnabled(true);
}

void LockFusesDialog::UncheckAllBits() {
  for (QCheckBox* check : CheckBoxes) check->setChecked(false);
}

void LockFusesDialog::ApplyLayout() {
  const BitLayoutRow* layout = FindBitLayout(SelectedChip);
  if (!layout) return;
  for (int g = 0; g < 4; ++g) {
    const FuseGroupLayout& group = layout->groups[g];
    if (!group.caption) continue;
    GroupBox[g]->setTitle(QString::fromUtf8(group.caption));
    GroupBox[g]->setVisible(true);
    for (int k = 0; k < 8; ++k) {
      if (!group.bits[k]) continue;
      QCheckBox* check = CheckBoxes[8 * g + k];
      check->setText(QString::fromUtf8(group.bits[k]));
      check->setEnabled(!(group.disabled & kBit(k)));
      check->setVisible(true);
    }
  }
}

void LockFusesDialog::ShowFuseLockBytes() {
  const BitLayoutRow* layout = FindBitLayout(SelectedChip);
  if (!layout) return;
  for (int g = 0; g < 4; ++g) {
    const FuseGroupLayout& group = layout->groups[g];
    if (!group.caption) continue;
    for (int k = 0; k < 8; ++k)
      if (group.bits[k] && !(FuseLockBytes[g] & kBit(k))) CheckBoxes[8 * g + k]->setChecked(true);
  }
}

void LockFusesDialog::TakeFuseLockBytes() {
  const BitLayoutRow* layout = FindBitLayout(SelectedChip);
  if (!layout) return;
  for (int g = 0; g < 4; ++g) {
    const FuseGroupLayout& group = layout->groups[g];
    if (!group.caption) continue;
    FuseLockBytes[g] = BoxedByte(g);
  }
}

void LockFusesDialog::SaveCloseClick() {
  TakeFuseLockBytes();
  accept();
}

void LockFusesDialog::ReadClick() {
  bool read = false;
  RunOffWindowThread([&read] { read = ReadLockAndFuses(); });
  if (read) {
    UncheckAllBits();
    ShowFuseLockBytes();
  }
  ShowSource();
}

bool LockFusesDialog::Changed() const {
  const BitLayoutRow* layout = FindBitLayout(SelectedChip);
  for (int g = 0; layout && g < 4; ++g)
    for (int k = 0; layout->groups[g].caption && k < 8; ++k)
      if (layout->groups[g].bits[k] && ((BoxedByte(g) ^ FuseLockBytes[g]) & kBit(k))) return true;
  return false;
}

void LockFusesDialog::ShowSource() {
  if (!SourceLabel) return;
  const ChipFuses chip = LastChipFuses();
  const bool same = std::equal(chip.bytes, chip.bytes + 8, FuseLockBytes.begin());
  SourceLabel->setText(same && chip.read ? QStringLiteral("Read from the chip")
                       : same            ? QStringLiteral("Factory values, not read from a chip")
                                         : QStringLiteral("Saved changes, not yet written to the chip"));
}

void LockFusesDialog::EnterWork() {
  enabledBeforeWork_.clear();
  std::vector<QWidget*> widgets{panel, saveCloseButton, readButton, writeButton};
  widgets.insert(widgets.end(), FieldBoxes.begin(), FieldBoxes.end());
  for (QWidget* w : widgets) {
    enabledBeforeWork_.emplace_back(w, w->isEnabled());
    w->setEnabled(false);
  }
}

void LockFusesDialog::LeaveWork() {
  for (const auto& [w, enabled] : enabledBeforeWork_) w->setEnabled(enabled);
  enabledBeforeWork_.clear();
}

void LockFusesDialog::closeEvent(QCloseEvent* event) {
  if (WorkRunning()) {
    event->ignore();
    return;
  }
  if (result() != QDialog::Accepted && Changed()) {
    switch (GetUserPrompt().AskSaveChanges(
        "Lock & Fuses", "The boxes hold changes that are not saved. Save them for the next write?")) {
      case UserPrompt::Changes::Save:
        TakeFuseLockBytes();
        break;
      case UserPrompt::Changes::Discard:
        break;
      case UserPrompt::Changes::Cancel:
        event->ignore();
        return;
    }
  }
  QDialog::closeEvent(event);
}

bool LockFusesDialog::ConfirmNeverRead() {
  const ChipModule* m = SelectedModule();
  // Chips that cannot read their fuses write only their lock bits: nothing to have read.
  if (!m || !m->CanReadFuses() || LastChipFuses().read) return true;
  return GetUserPrompt().AskYesNo("Warning",
                                  "These values were never read from the chip: every fuse and lock byte is written "
                                  "as the boxes show it. Write anyway?");
}

bool LockFusesDialog::ConfirmLockoutBits() {
  const BitLayoutRow* layout = FindBitLayout(SelectedChip);
  if (!layout) return true;
  std::array<bool, 32> checked{};
  for (int i = 0; i < 32; ++i) checked[i] = CheckBoxes[i]->isChecked();
  // Against what the chip holds, not what this dialog last saved.
  const ChipFuses chip = LastChipFuses();
  const std::vector<std::string> risky = LockoutBitsChecked(*layout, checked, chip.bytes);
  if (risky.empty()) return true;
  std::string names = risky[0];
  for (size_t i = 1; i < risky.size(); ++i) names += " and " + risky[i];
  // debugWIRE can switch itself off for serial programming again, but not while the reset
  // disable holds the reset pin as well. Reset-disable bits come first in the list.
  bool resetDisable = false;
  for (int g = 0; g < 4; ++g)
    for (int k = 0; k < 8; ++k)
      resetDisable = resetDisable || (layout->groups[g].caption && layout->groups[g].bits[k] &&
                                      RoleOf(layout->groups[g], k) == FuseRole::ResetDisable && checked[8 * g + k]);
  const std::string recovery = resetDisable ? "only a high-voltage programmer can recover it"
                                            : "only a debugWIRE tool or a high-voltage programmer can recover it";
  const std::string text = "Programming " + names +
                           " (box checked) disables serial programming: the chip will no "
                           "longer be reachable through the gateway, and " +
                           recovery + ". Write anyway?";
  return GetUserPrompt().AskYesNo("Warning", text);
}

bool LockFusesDialog::ConfirmExternalClock() {
  std::string sources;
  // Against what the chip holds, not what this dialog last saved (Save & Close overwrites
  // FuseLockBytes).
  const ChipFuses chip = LastChipFuses();
  for (size_t i = 0; i < FieldBoxes.size(); ++i) {
    const FuseField& f = fields_->fields[i];
    if (const FuseSetting* s = NewExternalClock(f, chip.bytes[f.byte], BoxedByte(f.byte)))
      sources += (sources.empty() ? "" : ", ") + std::string(f.name) + " \"" + s->caption + "\"";
  }
  if (sources.empty()) return true;
  return GetUserPrompt().AskYesNo("Warning",
                                  "The clock becomes a crystal or clock outside the chip (" + sources +
                                      "): after this write the chip answers the programmer only with that crystal or "
                                      "clock fitted and running. Write anyway?");
}

void LockFusesDialog::WriteClick() {
  if (!ConfirmNeverRead() || !ConfirmLockoutBits() || !ConfirmExternalClock()) return;
  TakeFuseLockBytes();
  RunOffWindowThread([] { WriteLockAndFuses(); });
  // What the chip kept, read back after the write.
  UncheckAllBits();
  ShowFuseLockBytes();
  ShowSource();
}

void LockFusesDialog::showEvent(QShowEvent* event) {
  if (QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
  QDialog::showEvent(event);
}

void LockFusesDialog::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace quillet
