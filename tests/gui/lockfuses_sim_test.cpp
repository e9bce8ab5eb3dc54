// The Lock & Fuses dialog against the simulated chip of every catalogue chip: boxes written,
// a fresh dialog read back.
#include <QCheckBox>
#include <QGroupBox>
#include <QPushButton>
#include <QtTest>
#include <array>
#include <string>

#include "chips/Catalogue.h"
#include "dialogs/LockFusesDialog.h"
#include "link/Port.h"
#include "support/Fakes.h"
#include "support/SimDriver.h"

using namespace quillet;

namespace {

// Bits a test must never program: they cost the chip its serial programming.
bool Untouchable(const QString& name) {
  return name == "SPIEN" || name == "RSTDISBL" || name == "DWEN";
}

std::array<bool, 32> Checked(const LockFusesDialog& form) {
  std::array<bool, 32> c{};
  for (int i = 0; i < 32; ++i) c[i] = form.CheckBoxes[i]->isChecked();
  return c;
}

QString Diff(const std::array<bool, 32>& a, const std::array<bool, 32>& b) {
  QStringList out;
  for (int i = 0; i < 32; ++i)
    if (a[i] != b[i]) out << QString("CheckBox%1").arg(i + 1);
  return out.join(' ');
}

}  // namespace

class LockFusesSimTest : public QObject {
  Q_OBJECT

 private slots:
  void writeThenReadInAFreshDialogForEveryChip() {
    const int savedDelay = DelayValue;
    DelayValue = 0;
    for (const ChipEntry& chip : Catalogue()) {
      const std::string name = chip.name;
      test::CoreFixture f;
      test::SimDriver sim(name);
      f.Connect();
      SelectChip(chip.id);

      std::array<bool, 32> written{};
      int toggled = 0;
      {
        LockFusesDialog form;
        // Every box the user may change is flipped from its factory state.
        for (QCheckBox* box : form.CheckBoxes) {
          if (!box->isVisibleTo(&form) || !box->isEnabled() || Untouchable(box->text())) continue;
          box->setChecked(!box->isChecked());
          ++toggled;
        }
        QVERIFY2(toggled > 0, name.c_str());
        written = Checked(form);
        f.ClearRecords();
        // Flipped clock bits may select a crystal or clock outside the chip: that alone asks.
        f.prompt.yesNo = {true, true};
        form.writeButton->click();
        for (const std::string& asked : f.prompt.asked)
          QVERIFY2(asked.rfind("Warning|The clock becomes", 0) == 0 ||
                       asked.find("never read from the chip") != std::string::npos,
                   (name + ": " + asked).c_str());
        QVERIFY2(f.prompt.asked.size() <= 2, name.c_str());
        // Each byte read back as written (or, on the oldest chips, not readable at all).
        const std::string& last = f.log.lines.back();
        QVERIFY2(last.find(" written and verified") != std::string::npos ||
                     last.find("cannot read them back") != std::string::npos,
                 (name + ": " + last).c_str());
        form.saveCloseButton->click();
        QCOMPARE(form.result(), int(QDialog::Accepted));
      }
      QCOMPARE(sim.Violations(), uint64_t(0));

      ResetChipBuffer(3);
      LockFusesDialog form;
      const std::array<bool, 32> factory = Checked(form);
      QVERIFY2(factory != written, name.c_str());
      f.ClearRecords();
      form.readButton->click();
      if (name == "AT90S1200" || name == "AT90S2313" || name == "AT90S4414" || name == "AT90S8515") {
        // No read on these: the boxes show the buffer, and the chip holds both lock bits.
        QCOMPARE(f.log.lines, std::vector<std::string>{"Command is not available for this chip"});
        QCOMPARE(Checked(form), factory);
        QCOMPARE(sim.Chip().State().lock & 0x06, 0);
        continue;
      }
      QCOMPARE(f.log.lines.back(), std::string("       Finished with success."));
      QVERIFY2(Checked(form) == written, (name + ": " + Diff(Checked(form), written).toStdString()).c_str());
      QCOMPARE(PortHandle, test::SimDriver::kHandle);
    }
    DelayValue = savedDelay;
  }
};

QTEST_MAIN(LockFusesSimTest)
#include "lockfuses_sim_test.moc"
