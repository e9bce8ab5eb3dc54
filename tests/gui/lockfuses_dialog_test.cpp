// The Lock & Fuses dialog: layout per chip, boxes <-> FuseLockBytes, read, write, the lock-out question.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSet>
#include <QtTest>
#include <map>

#include "WindowChecks.h"
#include "chips/Catalogue.h"
#include "chips/PartTable.h"
#include "commands/Driver.h"
#include "dialogs/LockFusesDialog.h"
#include "support/Fakes.h"

using namespace quillet;

namespace {

// Bit names, bit 0 first; "-" a hidden box, "!" a disabled one. Groups start with their number.
struct ExpectedLayout {
  std::vector<const char*> chips;
  const char* layout;
};
const ExpectedLayout kExpected[] = {
    {{"ATtiny2313"},
     "1 Low Fuses: CKSEL0 CKSEL1 CKSEL2 CKSEL3 SUT0 SUT1 CKOUT CKDIV8 | 2 High Fuses: RSTDISBL BODLEVEL0 "
     "BODLEVEL1 BODLEVEL2 WDTON SPIEN! EESAVE DWEN | 3 Extended Fuses: SELFPRGEN | 4 Lock bits: LB1 LB2"},
    {{"ATtiny25", "ATtiny45", "ATtiny85", "ATtiny261", "ATtiny461", "ATtiny861"},
     "1 Low Fuses: CKSEL0 CKSEL1 CKSEL2 CKSEL3 SUT0 SUT1 CKOUT CKDIV8 | 2 High Fuses: BODLEVEL0 BODLEVEL1 "
     "BODLEVEL2 EESAVE WDTON SPIEN! DWEN RSTDISBL | 3 Extended Fuses: SELFPRGEN | 4 Lock bits: LB1 LB2"},
    {{"AT90CAN32", "AT90CAN64", "AT90CAN128"},
     "1 Low Fuses: CKSEL0 CKSEL1 CKSEL2 CKSEL3 SUT0 SUT1 CKOUT CKDIV8 | 2 High Fuses: BOOTRST BOOTSZ0 "
     "BOOTSZ1 EESAVE WDTON SPIEN! JTAGEN OCDEN | 3 Extended Fuses: TA0SEL BODLEVEL0 BODLEVEL1 BODLEVEL2 | "
     "4 Lock bits: LB1 LB2 BLB01 BLB02 BLB11 BLB12"},
    {{"ATtiny13"},
     "1 Low Fuses: CKSEL0 CKSEL1 SUT0 SUT1 CKDIV8 WDTON EESAVE SPIEN! | 2 High Fuses: RSTDISBL BODLEVEL0 "
     "BODLEVEL1 DWEN SELFPRGEN | 3 Lock bits: LB1 LB2"},
    {{"ATtiny26"},
     "1 Low Fuses: CKSEL0 CKSEL1 CKSEL2 CKSEL3 SUT0 SUT1 CKOPT PLLCK | 2 High Fuses: BODEN BODLEVEL "
     "EESAVE SPIEN! RSTDISBL | 3 Lock bits: LB1 LB2"},
    {{"ATtiny12"},
     "1 Fuse Bits: CKSEL0 CKSEL1 CKSEL2 CKSEL3 RSTDISBL SPIEN! BODEN BODLEVEL | 2 Lock bits: - LB1 LB2"},
    {{"ATtiny15"}, "1 Fuse Bits: CKSEL0 CKSEL1 - - RSTDISBL SPIEN! BODEN BODLEVEL | 2 Lock bits: - LB1 LB2"},
    {{"AT90S2333", "AT90S4433"},
     "1 Fuse Bits: CKSEL0 CKSEL1 CKSEL2 BODEN BODLEVEL SPIEN! | 2 Lock bits: - LB1 LB2"},
    {{"AT90S2343", "ATtiny22"}, "1 Fuse Bits: RCEN - - - - SPIEN! | 2 Lock bits: - LB1 LB2"},
    {{"AT90S2323", "AT90S4434", "AT90S8535"}, "1 Fuse Bits: FSTRT - - - - SPIEN! | 2 Lock bits: - LB1 LB2"},
    {{"AT90S2313", "AT90S4414", "AT90S8515"}, "1 Fuse Bits: FSTRT! - - - - SPIEN! | 2 Lock bits: - LB1 LB2"},
    {{"AT90S1200"}, "1 Fuse Bits: RCEN! - - - - SPIEN! | 2 Lock bits: - LB1 LB2"},
};

QString Describe(const LockFusesDialog& form) {
  QStringList groups;
  for (int g = 0; g < 4; ++g) {
    if (!form.GroupBox[g]->isVisibleTo(&form)) {
      for (int k = 0; k < 8; ++k)
        if (form.CheckBoxes[8 * g + k]->isVisibleTo(&form)) return "box visible in a hidden group";
      continue;
    }
    QStringList bits;
    for (int k = 0; k < 8; ++k) {
      QCheckBox* box = form.CheckBox(8 * g + k + 1);
      bits << (box->isVisibleTo(&form) ? box->text() + (box->isEnabled() ? "" : "!") : "-");
    }
    while (!bits.isEmpty() && bits.last() == "-") bits.removeLast();
    groups << QString("%1 %2: %3").arg(g + 1).arg(form.GroupBox[g]->title(), bits.join(' '));
  }
  return groups.join(" | ");
}

// The visible boxes of each group, as a bit mask, from the expected layout text.
std::array<uint8_t, 4> VisibleMasks(const char* layout) {
  std::array<uint8_t, 4> masks{};
  for (const QString& group : QString(layout).split(" | ")) {
    const int g = group.left(1).toInt() - 1;
    const QStringList bits = group.section(": ", 1).split(' ');
    for (int k = 0; k < bits.size(); ++k)
      if (bits[k] != "-") masks[g] |= 1 << k;
  }
  return masks;
}

QCheckBox* BoxNamed(LockFusesDialog& form, const QString& name) {
  for (QCheckBox* box : form.CheckBoxes)
    if (box->isVisibleTo(&form) && box->text() == name) return box;
  return nullptr;
}

std::vector<bool> CheckedStates(const LockFusesDialog& form) {
  std::vector<bool> out;
  for (QCheckBox* box : form.CheckBoxes) out.push_back(box->isChecked());
  return out;
}

// Answers Programming Enable with its echo, the signature with the selected chip's, and every
// fuse or lock read with the value given for its instruction (I1 << 8 | I2) or, once written,
// the value written.
void AnswerFuses(test::Recorder& port, std::map<int, uint8_t> given, int emptyRead = -1) {
  auto reads = std::make_shared<int>(0);
  auto values = std::make_shared<std::map<int, uint8_t>>(std::move(given));
  // A write gets no answer: it is seen as it is sent (0x44 I4 I3 I2 I1).
  port.failWrite = [values](const std::vector<uint8_t>& p) {
    static const std::map<int, int> kReadOfWrite = {{0xA0, 0x5000}, {0xA8, 0x5808}, {0xA4, 0x5008}, {0xE0, 0x5800}};
    if (p.size() == 5 && p[0] == 0x44 && p[4] == 0xAC && kReadOfWrite.count(p[3]))
      (*values)[kReadOfWrite.at(p[3])] = p[1];
    return false;
  };
  port.responder = [values, emptyRead, reads](const std::vector<uint8_t>& in) {
    // From emptyRead on the gateway is silent: one late answer alone is asked for again.
    if ((*reads)++ >= emptyRead && emptyRead >= 0) return std::vector<uint8_t>{};
    std::vector<uint8_t> a(8, 0);
    if (in[0] == 0xAC && in[1] == 0x53) a[1] = 0x53;
    if (in[0] == 0x30) a[0] = static_cast<uint8_t>(SelectedChip >> (8 * (in[2] % 3)));
    auto it = values->find(in[0] << 8 | in[1]);
    if (it != values->end()) a[0] = it->second;
    return a;
  };
}

// A write that every byte of took: its last line says the last byte read back as written.
bool AllWritten(const test::CoreFixture& f) {
  return !f.log.lines.empty() && f.log.lines.back().find(" written and verified") != std::string::npos;
}

}  // namespace

class LockFusesDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void layoutOfEveryChip() {
    test::CoreFixture f;
    std::map<std::string, const char*> expected;
    for (const ExpectedLayout& row : kExpected)
      for (const char* chip : row.chips) expected[chip] = row.layout;
    for (const ChipEntry& chip : Catalogue()) {
      if (chip.part) continue;  // the newer chips: newerChips()
      SelectChip(chip.id);
      LockFusesDialog form;
      QVERIFY2(expected.count(chip.name), chip.name);
      QCOMPARE(Describe(form), QString(expected[chip.name]));
      QVERIFY(form.panel->isVisibleTo(&form));
    }
  }

  // Captions whole at the first size and a larger one, every control named, Tab through the
  // groups left to right, bits from 7 down, then the buttons, then the fields.
  void formAndLayout() {
    for (const char* chip : {"AT90CAN128", "ATmega328P", "ATtiny2313", "ATmega2560"}) {
      test::CoreFixture f;
      SelectChip(FindChipByName(chip)->id);
      LockFusesDialog form;
      QCOMPARE(form.windowTitle(), QString("Lock & Fuses"));
      QVERIFY(!(form.windowFlags() & Qt::WindowCloseButtonHint));
      QCOMPARE(form.saveCloseButton->text(), QString("Save changes && Close the window"));
      QCOMPARE(form.readButton->text(), QString("Read Lock && Fuses"));
      QCOMPARE(form.writeButton->text(), QString("Write Lock && Fuses"));
      form.show();
      for (const QSize size : {form.size(), form.size() + QSize(300, 200)}) {
        form.resize(size);
        QCoreApplication::processEvents();
        QVERIFY2(test::ClippedCaptions(&form).isEmpty(), qPrintable(test::ClippedCaptions(&form).join(" | ")));
      }
      QVERIFY2(test::UnnamedControls(&form).isEmpty(), qPrintable(test::UnnamedControls(&form).join(" | ")));
      QStringList expected;
      for (int g = 0; g < 4; ++g)
        for (int k = 7; k >= 0; --k)
          if (form.CheckBoxes[8 * g + k]->isVisible() && form.CheckBoxes[8 * g + k]->isEnabled())
            expected << form.CheckBoxes[8 * g + k]->objectName();
      expected << "saveCloseButton"
               << "readButton"
               << "writeButton";
      for (QComboBox* box : form.FieldBoxes)
        if (box->isEnabled()) expected << box->objectName();
      QStringList chain = test::TabChain(form.saveCloseButton);
      chain = chain.mid(chain.indexOf(expected.first())) + chain.mid(0, chain.indexOf(expected.first()));
      QCOMPARE(chain, expected);
      // Two fields of one caption are told apart.
      QSet<QString> captions;
      for (QLabel* label : form.FieldLabels) {
        QVERIFY2(!captions.contains(label->text()), qPrintable(label->text()));
        captions.insert(label->text());
      }
    }
  }

  // ATtiny2313's device file lists one clock caption for three values: one entry for them, a
  // byte holding any of them shows it, choosing it keeps the value held, and from elsewhere
  // writes the first.
  void foldedClockSettingsKeepTheirValue() {
    test::CoreFixture f;
    SelectChip(FindChipByName("ATtiny2313")->id);
    LockFusesDialog form;
    QComboBox* clock = nullptr;
    for (size_t i = 0; i < form.FieldLabels.size(); ++i)
      if (form.FieldLabels[i]->toolTip() == "SUT_CKSEL") clock = form.FieldBoxes[i];
    QVERIFY(clock);
    QCOMPARE(clock->maxVisibleItems(), 16);
    const QString folded = "Ext. Crystal Osc. 0.4-0.9 MHz; Start-up time: 14 CK + 4.1 ms  [external part]"
                           "  (values 0x08, 0x38, 0x29 alike)";
    const int entry = clock->findText(folded);
    QVERIFY(entry > 0);
    int same = 0;
    for (int i = 0; i < clock->count(); ++i) same += clock->itemText(i).startsWith("Ext. Crystal Osc. 0.4-0.9 MHz; Start-up time: 14 CK + 4.1 ms");
    QCOMPARE(same, 1);
    auto low = [&] { return form.ByteLabels[0]->text(); };
    for (const auto& [held, after] : {std::pair{0x38, "0x78"}, {0x29, "0x69"}, {0x24, "0x48"}}) {
      for (int k = 0; k < 6; ++k) form.CheckBoxes[k]->setChecked(!(held >> k & 1));
      if (held != 0x24) QCOMPARE(clock->currentIndex(), entry);
      emit clock->activated(entry);
      QCOMPARE(low().right(2), QString(after).right(2));
      QCOMPARE(clock->currentIndex(), entry);
    }
  }

  void noChip() {
    test::CoreFixture f;
    FuseLockBytes.fill(0x5A);
    LockFusesDialog form;
    QCOMPARE(Describe(form), QString());
    QVERIFY(form.panel->isVisibleTo(&form));
    form.readButton->click();
    form.writeButton->click();
    QCOMPARE(f.log.lines, (std::vector<std::string>{"No chip selected", "No chip selected"}));
    form.saveCloseButton->click();
    QCOMPARE(form.result(), int(QDialog::Accepted));
    for (uint8_t b : FuseLockBytes) QCOMPARE(b, uint8_t(0x5A));
  }

  void boxesAndBufferForEveryChip() {
    test::CoreFixture f;
    for (const ExpectedLayout& row : kExpected) {
      const std::array<uint8_t, 4> masks = VisibleMasks(row.layout);
      for (const char* chip : row.chips) {
        SelectChip(FindChipByName(chip)->id);
        FuseLockBytes.fill(0x00);  // every bit programmed: every visible box checked
        LockFusesDialog form;
        for (int i = 0; i < 32; ++i)
          QCOMPARE(form.CheckBoxes[i]->isChecked(), bool(masks[i / 8] >> (i % 8) & 1));
        form.TakeFuseLockBytes();
        for (int g = 0; g < 8; ++g) {
          // Hidden bits come back unprogrammed; bytes the chip does not use are left alone.
          const uint8_t want = g < 4 && masks[g] ? uint8_t(~masks[g]) : 0x00;
          QVERIFY2(FuseLockBytes[g] == want, chip);
        }
      }
    }
  }

  void factoryValuesAndOk() {
    test::CoreFixture f;
    SelectChip(FindChipByName("ATtiny13")->id);
    {
      LockFusesDialog form;
      QStringList checked;
      for (QCheckBox* box : form.CheckBoxes)
        if (box->isChecked()) checked << box->text();
      QCOMPARE(checked, (QStringList{"CKSEL0", "SUT0", "CKDIV8", "SPIEN"}));
      QVERIFY(!form.GroupBox[3]->isVisibleTo(&form));
    }
    SelectChip(FindChipByName("ATtiny2313")->id);
    for (bool lb1 : {true, false}) {
      LockFusesDialog form;
      BoxNamed(form, "LB1")->setChecked(lb1);
      form.saveCloseButton->click();
      QCOMPARE(FuseLockBytes[3], uint8_t(lb1 ? 0xFE : 0xFF));
    }
  }

  void readUpdatesBoxesOrLeavesThemOnFailure() {
    test::CoreFixture f;
    SelectChip(FindChipByName("ATtiny2313")->id);
    f.Connect();
    // lock, extended, high, low
    AnswerFuses(f.port, {{0x5800, 0xFC}, {0x5008, 0xFE}, {0x5808, 0x5F}, {0x5000, 0x7F}});
    LockFusesDialog form;
    BoxNamed(form, "EESAVE")->setChecked(true);
    form.readButton->click();
    QStringList checked;
    for (QCheckBox* box : form.CheckBoxes)
      if (box->isChecked()) checked << box->text();
    QCOMPARE(checked, (QStringList{"CKDIV8", "SPIEN", "DWEN", "SELFPRGEN", "LB1", "LB2"}));

    // A read that fails at its second step leaves the boxes as they were.
    BoxNamed(form, "CKSEL0")->setChecked(true);
    const std::vector<bool> before = CheckedStates(form);
    AnswerFuses(f.port, {{0x5800, 0x00}}, 5);  // Programming Enable, the signature, lock, extended
    form.readButton->click();
    QCOMPARE(CheckedStates(form), before);
    QCOMPARE(f.log.lines.back(), std::string("       Finished with fail."));
    QCOMPARE(f.progress.Alive(), 0);
  }

  void oldChipReadShowsBufferAndWriteSendsLockOnly() {
    test::CoreFixture f;
    SelectChip(FindChipByName("AT90S2313")->id);
    f.Connect();
    AnswerFuses(f.port, {});
    LockFusesDialog form;
    form.UncheckAllBits();
    form.readButton->click();
    QCOMPARE(f.log.lines, std::vector<std::string>{"Command is not available for this chip"});
    QVERIFY(!BoxNamed(form, "FSTRT")->isChecked());
    QVERIFY(BoxNamed(form, "SPIEN")->isChecked());
    QVERIFY(!BoxNamed(form, "FSTRT")->isEnabled() && !BoxNamed(form, "SPIEN")->isEnabled());
    QVERIFY(f.port.trace.empty());

    f.ClearRecords();
    BoxNamed(form, "LB2")->setChecked(true);
    form.writeButton->click();
    QCOMPARE(f.log.lines.back(), std::string("Lock bits 0xFB written; this chip cannot read them back"));
    QCOMPARE(f.log.lines[f.log.lines.size() - 3], std::string("Trying to write lock-bits"));
    QCOMPARE(FuseLockBytes[1], uint8_t(0xFB));
    QVERIFY(f.prompt.asked.empty());
  }

  // Guards: a write that programs RSTDISBL or DWEN goes out without a word of warning.
  void init() { ForgetChipFuses(); }

  void lockoutBitsAskFirst() {
    const struct {
      const char* chip;
      QStringList check;
      bool yes;
      const char* named;  // in the question; nullptr: no question
      const char* recovery;  // who can bring the chip back, as the question says
    } cases[] = {
        {"ATtiny2313", {"RSTDISBL"}, false, "RSTDISBL", "only a high-voltage programmer can"},
        {"ATtiny2313", {"RSTDISBL"}, true, "RSTDISBL", "only a high-voltage programmer can"},
        // debugWIRE cannot switch itself off while RSTDISBL holds the reset pin.
        {"ATtiny25", {"DWEN", "RSTDISBL"}, false, "RSTDISBL and DWEN", "only a high-voltage programmer can"},
        {"ATtiny13", {"DWEN"}, true, "DWEN", "only a debugWIRE tool or a high-voltage programmer can"},
        {"ATtiny2313", {"DWEN"}, false, "DWEN", "only a debugWIRE tool or a high-voltage programmer can"},
        {"ATtiny12", {"RSTDISBL"}, false, "RSTDISBL", "only a high-voltage programmer can"},
        {"ATtiny2313", {"WDTON", "LB1"}, false, nullptr, nullptr},
    };
    for (const auto& c : cases) {
      test::CoreFixture f;
      SelectChip(FindChipByName(c.chip)->id);
      f.Connect();
      AnswerFuses(f.port, {});
      LockFusesDialog form;
      for (const QString& name : c.check) BoxNamed(form, name)->setChecked(true);
      const auto before = FuseLockBytes;
      f.prompt.yesNo = {true, c.yes};  // values never read: written all the same
      form.writeButton->click();
      if (!c.named) {
        QCOMPARE(f.prompt.asked.size(), size_t(1));
        QVERIFY(!f.port.trace.empty());
        continue;
      }
      QCOMPARE(f.prompt.asked.size(), size_t(2));
      QVERIFY(QString::fromStdString(f.prompt.asked[0]).contains("never read from the chip"));
      const QString asked = QString::fromStdString(f.prompt.asked[1]);
      QVERIFY2(asked.startsWith("Warning|Programming " + QString(c.named) + " "), qPrintable(asked));
      QVERIFY(asked.contains("reachable through the gateway, and " + QString(c.recovery) + " recover it. Write anyway?"));
      if (c.yes) {
        QVERIFY(!f.port.trace.empty());
        QVERIFY2(AllWritten(f), (std::string(c.chip) + ": " + f.log.lines.back()).c_str());
      } else {
        QVERIFY(f.port.trace.empty());
        QVERIFY(f.log.lines.empty());
        QVERIFY(f.progress.dialogs.empty());
        QVERIFY(FuseLockBytes == before);
      }
    }
  }

  // Newer chips: their datasheet's bit names, SPIEN locked and programmed from the factory,
  // and the lock-out question wherever RSTDISBL or DWEN exists.
  void newerChips() {
    const char* const kLow = "1 Low Fuses: CKSEL0 CKSEL1 CKSEL2 CKSEL3 SUT0 SUT1 CKOUT CKDIV8 | ";
    const char* const kLock6 = " | 4 Lock bits: LB1 LB2 BLB01 BLB02 BLB11 BLB12";
    const struct {
      const char* chip;  // a name or another name of it
      QString layout;
      QStringList lockout;  // boxes that must ask first; empty: check WDTON, no question
    } cases[] = {
        {"ATmega328P",
         kLow + QString("2 High Fuses: BOOTRST BOOTSZ0 BOOTSZ1 EESAVE WDTON SPIEN! DWEN RSTDISBL | "
                        "3 Extended Fuses: BODLEVEL0 BODLEVEL1 BODLEVEL2") + kLock6,
         {"RSTDISBL", "DWEN"}},
        {"ATmega2560",
         kLow + QString("2 High Fuses: BOOTRST BOOTSZ0 BOOTSZ1 EESAVE WDTON SPIEN! JTAGEN OCDEN | "
                        "3 Extended Fuses: BODLEVEL0 BODLEVEL1 BODLEVEL2") + kLock6,
         {}},
        {"ATtiny84",
         kLow + QString("2 High Fuses: BODLEVEL0 BODLEVEL1 BODLEVEL2 EESAVE WDTON SPIEN! DWEN RSTDISBL | "
                        "3 Extended Fuses: SELFPRGEN | 4 Lock bits: LB1 LB2"),
         {"DWEN"}},
        {"AT90USB1287",
         kLow + QString("2 High Fuses: BOOTRST BOOTSZ0 BOOTSZ1 EESAVE WDTON SPIEN! JTAGEN OCDEN | "
                        "3 Extended Fuses: BODLEVEL0 BODLEVEL1 BODLEVEL2 HWBE") + kLock6,
         {}},
    };
    for (const auto& c : cases) {
      const ChipEntry* chip = FindChipByName(c.chip);
      for (const ChipEntry& e : Catalogue())
        if (!chip && e.part && QString(e.part->aliases).split(", ").contains(c.chip)) chip = &e;
      QVERIFY2(chip && chip->part, c.chip);
      test::CoreFixture f;
      SelectChip(chip->id);
      f.Connect();
      AnswerFuses(f.port, {});
      LockFusesDialog form;
      QCOMPARE(Describe(form), c.layout);
      QVERIFY(BoxNamed(form, "SPIEN")->isChecked());
      for (const QString& name : c.lockout.isEmpty() ? QStringList{"WDTON"} : c.lockout)
        BoxNamed(form, name)->setChecked(true);
      f.prompt.yesNo = {true, false};
      form.writeButton->click();
      if (c.lockout.isEmpty()) {
        QVERIFY2(f.prompt.asked.size() == 1, c.chip);  // never read: written all the same
        continue;
      }
      QCOMPARE(f.prompt.asked.size(), size_t(2));
      QVERIFY2(QString::fromStdString(f.prompt.asked[1]).startsWith("Warning|Programming " + c.lockout.join(" and ") + " "),
               c.chip);
      QVERIFY(f.port.trace.empty());
    }
  }

  // The words beside the boxes: a setting chosen sets its bits only, ticked bits show their
  // setting or "(not a listed setting)", the hex follows, SPIEN's field is locked with its box,
  // and a move to a clock outside the chip asks before Write.
  void fieldWordsFollowTheBoxes() {
    test::CoreFixture f;
    SelectChip(FindChipByName("ATmega328P")->id);
    f.Connect();
    AnswerFuses(f.port, {});
    LockFusesDialog form;
    auto words = [&](const char* field) -> QComboBox* {
      for (size_t i = 0; i < form.FieldLabels.size(); ++i)
        if (form.FieldLabels[i]->toolTip() == field) return form.FieldBoxes[i];
      return nullptr;
    };
    QComboBox* clock = words("SUT_CKSEL");
    QVERIFY(clock && words("CKDIV8") && words("BOOTSZ") && words("LB"));
    QCOMPARE(form.FieldBoxes.size(), size_t(14));
    QCOMPARE(clock->currentText(), QString("Int. RC Osc. 8 MHz; Start-up time PWRDWN/RESET: 6 CK/14 CK + 65 ms"));
    QCOMPARE(form.ByteLabels[0]->text(), QString("0x62"));
    QVERIFY(!words("SPIEN")->isEnabled() && words("RSTDISBL")->isEnabled());

    emit clock->activated(clock->findText("Ext. Crystal Osc. 8.0- MHz; Start-up time PWRDWN/RESET: 16K CK/14 CK + 65 ms  [external part]"));
    QCOMPARE(form.ByteLabels[0]->text(), QString("0x7F"));  // CKDIV8 still programmed
    QCOMPARE(words("CKDIV8")->currentText(), QString("yes (programmed)"));
    const struct {
      const char* tick;
      bool checked;
      const char* hex;
      const char* words;
    } steps[] = {
        {"CKSEL0", true, "0x7E", "Ext. Crystal Osc. 8.0- MHz; Start-up time PWRDWN/RESET: 1K CK /14 CK + 4.1 ms  [external part]"},
        {"CKSEL3", true, "0x76", "Ext. Full-swing Crystal; Start-up time PWRDWN/RESET: 1K CK /14 CK + 4.1 ms  [external part]"},
        {"CKSEL1", true, "0x74", "(not a listed setting)"},  // CKSEL 0100 with SUT 11: reserved
        {"CKDIV8", false, "0xF4", "(not a listed setting)"},
    };
    for (const auto& step : steps) {
      BoxNamed(form, step.tick)->setChecked(step.checked);
      QCOMPARE(form.ByteLabels[0]->text(), QString(step.hex));
      QCOMPARE(clock->currentText(), QString(step.words));
    }
    QCOMPARE(words("CKDIV8")->currentText(), QString("no (unprogrammed)"));

    // Write: the external crystal asks first; No writes nothing, an internal clock asks nothing.
    emit clock->activated(clock->findData(0x3F));
    f.prompt.yesNo = {true, false};
    form.writeButton->click();
    QCOMPARE(f.prompt.asked.size(), size_t(2));
    QVERIFY2(QString::fromStdString(f.prompt.asked[1]).contains(
                 "(SUT_CKSEL \"Ext. Crystal Osc. 8.0- MHz; Start-up time PWRDWN/RESET: 16K CK/14 CK + 65 ms\"): "
                 "after this write the chip answers the programmer only with that crystal or clock fitted and running"),
             f.prompt.asked[1].c_str());
    QVERIFY(f.port.trace.empty());
    emit clock->activated(clock->findData(0x23));  // internal 128 kHz
    f.prompt.yesNo = {true};
    form.writeButton->click();
    QCOMPARE(f.prompt.asked.size(), size_t(3));
    QVERIFY(!f.port.trace.empty());
    QCOMPARE(FuseLockBytes[0], uint8_t(0xE3));

    // No device file: the bytes in hex, no words.
    SelectChip(FindChipByName("AT90S2313")->id);
    LockFusesDialog old;
    QVERIFY(old.FieldBoxes.empty());
    QCOMPARE(old.ByteLabels[1]->text(), QString("0xFF"));
  }

  void escapeDoesNotClose() {
    test::CoreFixture f;
    LockFusesDialog form;
    form.show();
    QTest::keyClick(&form, Qt::Key_Escape);
    QVERIFY(form.isVisible());
  }

  // Guards: closing from the title bar dropped ticked bits without a word.
  void closingWithChangesAsks() {
    const struct {
      bool change;
      UserPrompt::Changes answer;
      bool open;       // afterwards
      uint8_t saved;   // FuseLockBytes[3] afterwards
    } cases[] = {
        {false, UserPrompt::Changes::Cancel, false, 0xFF},
        {true, UserPrompt::Changes::Save, false, 0xFE},
        {true, UserPrompt::Changes::Discard, false, 0xFF},
        {true, UserPrompt::Changes::Cancel, true, 0xFF},
    };
    for (const auto& c : cases) {
      test::CoreFixture f;
      SelectChip(FindChipByName("ATtiny2313")->id);
      LockFusesDialog form;
      QCOMPARE(form.SourceLabel->text(), QString("Factory values, not read from a chip"));
      form.show();
      if (c.change) BoxNamed(form, "LB1")->setChecked(true);
      f.prompt.changes = {c.answer};
      form.close();
      QCOMPARE(f.prompt.asked.size(), size_t(c.change ? 1 : 0));
      QCOMPARE(form.isVisible(), c.open);
      QCOMPARE(FuseLockBytes[3], c.saved);
    }
  }

  // Guards: Save & Close overwrote what the clock question compared with, so a reopened dialog
  // wrote an external clock without asking.
  void clockQuestionSurvivesSaveAndClose() {
    test::CoreFixture f;
    ForgetChipFuses();
    SelectChip(FindChipByName("ATmega328P")->id);
    f.Connect();
    AnswerFuses(f.port, {});
    {
      LockFusesDialog form;
      for (size_t i = 0; i < form.FieldLabels.size(); ++i)
        if (form.FieldLabels[i]->toolTip() == "SUT_CKSEL") emit form.FieldBoxes[i]->activated(form.FieldBoxes[i]->findData(0x3F));
      form.saveCloseButton->click();
    }
    LockFusesDialog reopened;
    QCOMPARE(reopened.SourceLabel->text(), QString("Saved changes, not yet written to the chip"));
    f.prompt.yesNo = {true, false};
    reopened.writeButton->click();
    QCOMPARE(f.prompt.asked.size(), size_t(2));
    QVERIFY(QString::fromStdString(f.prompt.asked[1]).contains("The clock becomes a crystal or clock outside the chip"));
    QVERIFY(f.port.trace.empty());
  }
};

QTEST_MAIN(LockFusesDialogTest)
#include "lockfuses_dialog_test.moc"
