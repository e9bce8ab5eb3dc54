// Stop from the progress dialog during long commands on a 128 KB chip, and the "Erase, Write
// and Verify Program" cycle, against the simulated gateway with the real progress dialog; the
// window's thread free while a command works, and the port shown as it is afterwards.
#include <QAccessible>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QSemaphore>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>
#include <functional>

#include "app/MainWindow.h"
#include "commands/Steps.h"
#include "dialogs/ProgressWindow.h"
#include "image/Images.h"
#include "link/Port.h"
#include "support/Fakes.h"
#include "support/SimDriver.h"

using namespace quillet;

namespace {

// Real progress dialogs that call onPosition after each update, while the command runs.
class ScriptedBars : public ProgressFactory {
 public:
  std::function<void(ProgressWindow&, int)> onPosition;
  std::unique_ptr<ProgressDialog> Create() override {
    auto bar = std::make_unique<Bar>(this);
    bar->ShowCentred();
    return bar;
  }

 private:
  struct Bar : ProgressWindow {
    explicit Bar(ScriptedBars* owner) : owner_(owner) {}
    void SetPosition(int percent) override {
      ProgressWindow::SetPosition(percent);
      if (owner_->onPosition) owner_->onPosition(*this, percent);
    }
    void SetBytes(unsigned long long done, unsigned long long total) override {
      ProgressWindow::SetBytes(done, total);
      if (owner_->onPosition) owner_->onPosition(*this, total ? int(done * 100 / total) : 0);
    }
    ScriptedBars* owner_;
  };
};

// The window on a simulated chip, connected, with real views and progress dialogs.
struct Bench {
  explicit Bench(const char* chip) : sim(chip) {
    SetViewSink(&form);
    SetChipDisplay(&form);
    SetProgressFactory(&bars);
    form.show();
    f.Connect();
    form.EnableControls();
    form.ChipMenuClick(FindChipByName(chip)->id);
    f.ClearRecords();
  }
  // The commands' first and result lines: those before their start and end time lines.
  std::vector<std::string> Outline() const {
    std::vector<std::string> out;
    const std::vector<std::string>& log = f.log.lines;
    for (size_t i = 0; i < log.size(); ++i) {
      if (log[i] == "No chip selected") out.push_back(log[i]);
      if (i > 0 && (log[i].rfind("Start time: ", 0) == 0 || log[i].rfind("End time: ", 0) == 0))
        out.push_back(log[i - 1]);
    }
    return out;
  }
  MainWindow form;
  test::CoreFixture f;
  test::SimDriver sim;
  ScriptedBars bars;
};

void FillPattern(uint8_t* bytes, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3) & 0x7F;
}

}  // namespace

class StopCycleTest : public QObject {
  Q_OBJECT

 private slots:
  void windowThreadServesWhileWorking();
  void commandsRefusedThroughTheAccessibilityBus();
  void portShownClosedAfterAFailedExchange();
  void stopDuringLongCommands() {
    struct Row {
      const char* name;
      void (MainWindow::*button)();
      bool fill;         // the program view gets a pattern first, else stays blank (as the chip)
      bool escape;       // Escape instead of a click on Stop
      const char* line;  // the stop line, (\d+) the bytes done
    };
    const Row rows[] = {
        {"read program", &MainWindow::ReadProgramClick, true, false, "       Stopped by the user."},
        {"write program", &MainWindow::WriteProgramClick, true, false,
         "       Stopped by the user. (\\d+) of 131072 bytes written."},
        {"verify program", &MainWindow::VerifyProgramClick, false, true,
         "       Stopped by the user. (\\d+) of 131072 bytes compared, no differences."},
    };
    for (const Row& row : rows) {
      Bench b("AT90CAN128");
      uint8_t* bytes = ProgramImage.data();
      const uint32_t size = 131072;
      if (row.fill) {
        FillPattern(bytes, size);
        b.form.ImageToView(1, 1);
      }
      const QString viewBefore = b.form.View(1)->toPlainText();
      const std::vector<uint8_t> imageBefore(bytes, bytes + size);
      bool stopped = false;
      b.bars.onPosition = [&](ProgressWindow& bar, int percent) {
        if (!bar.StopAllowed() || percent < 25 || stopped) return;
        stopped = true;
        // The window stays inert meanwhile: this click starts nothing.
        QTest::mouseClick(b.form.readDataButton, Qt::LeftButton);
        if (row.escape)
          QTest::keyClick(&bar, Qt::Key_Escape);
        else
          QTest::mouseClick(bar.StopButton, Qt::LeftButton);
      };
      b.f.prompt.yesNo = {true};
      (b.form.*row.button)();

      const std::vector<std::string>& log = b.f.log.lines;
      QVERIFY2(stopped && log.size() >= 2, row.name);
      const QRegularExpressionMatch m =
          QRegularExpression(QString("^%1$").arg(row.line)).match(QString::fromStdString(log[log.size() - 2]));
      QVERIFY2(m.hasMatch(), (std::string(row.name) + ": " + log[log.size() - 2]).c_str());
      QVERIFY2(log.back().rfind("End time: ", 0) == 0, row.name);
      QCOMPARE(b.Outline().size(), size_t(2));  // no second command started
      QCOMPARE(PortHandle, test::SimDriver::kHandle);
      QCOMPARE(b.sim.Violations(), uint64_t(0));

      const uint32_t done = m.lastCapturedIndex() >= 1 ? m.captured(1).toUInt() : 0;
      if (row.button == &MainWindow::ReadProgramClick) {
        QCOMPARE(b.form.View(1)->toPlainText(), viewBefore);
        QVERIFY(std::equal(imageBefore.begin(), imageBefore.end(), bytes));
      } else if (row.button != &MainWindow::VerifyProgramClick) {
        // Whole pages only: everything up to the line's count is on the chip, nothing after.
        const std::vector<uint8_t>& chip = b.sim.Chip().State().flash;
        QVERIFY2(done > 0 && done < size && done % 256 == 0, row.name);
        QVERIFY(std::equal(bytes, bytes + done, chip.begin()));
        QVERIFY(std::all_of(chip.begin() + done, chip.begin() + size, [](uint8_t v) { return v == 0xFF; }));
      } else {
        QVERIFY2(done > 0 && done < size, row.name);
      }

      // The port is still usable: the next command runs to its end.
      b.bars.onPosition = nullptr;
      b.f.log.lines.clear();
      b.form.ReadDataClick();
      QCOMPARE(b.Outline(), (std::vector<std::string>{"Trying to read the EEPROM", "       Finished"}));
    }
  }

  void eraseWriteVerifyCycle() {
    const std::vector<std::string> written = {"Trying to write the program", "       Finished"};
    struct Row {
      const char* name;
      bool yes;
      bool chip;
      const char* atHalfWrite;  // "hangup" or "stop" once the write is half done
      std::vector<std::string> outline;
    };
    const Row rows[] = {
        {"all three steps", true, true, nullptr,
         {"Trying to write the program", "       Finished", "Trying to verify the program",
          "       Finished. No differences found."}},
        {"answered No", false, true, nullptr, {}},
        {"no chip: ends at the erase", true, false, nullptr, {"No chip selected"}},
        {"failed write: no verify", true, true, "hangup",
         {"Trying to write the program", "       Finished with fail."}},
        {"stopped write: no verify", true, true, "stop",
         {"Trying to write the program", "       Stopped by the user. 1024 of 2048 bytes written."}},
    };
    for (const Row& row : rows) {
      Bench b("ATtiny2313");
      if (!row.chip) ResetSelectionState();
      FillPattern(ProgramImage.data(), 2048);
      b.form.ImageToView(1, 1);
      b.sim.Chip().State().flash.assign(2048, 0x00);  // the erase must come first
      b.bars.onPosition = [&](ProgressWindow& bar, int percent) {
        const std::vector<std::string> outline = b.Outline();
        if (!row.atHalfWrite || percent != 50 || outline.empty() || outline.back() != written[0]) return;
        if (std::string(row.atHalfWrite) == "stop")
          bar.StopButton->click();
        else
          b.sim.Options().hangupAfter = b.sim.Gateway().Commands();
      };
      b.f.prompt.yesNo = {row.yes, false, false};
      b.form.eraseWriteVerifyAction->trigger();
      QCOMPARE(b.f.prompt.asked.size(), size_t(1));
      QVERIFY2(b.Outline() == row.outline, row.name);
      // The cycle's own erase comes first, before the write's.
      const auto& log = b.f.log.lines;
      if (row.outline.size() > 1)
        QVERIFY2(std::find(log.begin(), log.end(), "Trying to erase the chip") <
                     std::find(log.begin(), log.end(), written[0]), row.name);
    }
  }
};

namespace {

// The accessible object named name with role, under iface (depth first).
QAccessibleInterface* FindAccessible(QAccessibleInterface* iface, QAccessible::Role role, const QString& name) {
  if (!iface) return nullptr;
  if (iface->role() == role && iface->text(QAccessible::Name) == name) return iface;
  for (int i = 0; i < iface->childCount(); ++i)
    if (QAccessibleInterface* found = FindAccessible(iface->child(i), role, name)) return found;
  return nullptr;
}

}  // namespace

void StopCycleTest::windowThreadServesWhileWorking() {
  // Halfway through a read the simulated gateway holds the worker until the window's thread has
  // found the progress dialog's Stop button through the accessibility tree and pressed it: a
  // window busy with the command itself could not, and the worker would wait in vain.
  Bench b("ATtiny2313");
  QSemaphore served;
  bool found = false;
  long at = 0;
  b.sim.Gateway().trace = [&](int64_t, const std::string&) {
    if (++at != 2000) return;
    QMetaObject::invokeMethod(qApp, [&] {
      QAccessibleInterface* stop = FindAccessible(QAccessible::queryAccessibleInterface(qApp),
                                                  QAccessible::Button, "Stop");
      found = stop && stop->actionInterface();
      if (!found) return served.release();
      // The press clicks on a timer, as a real one would: the worker goes on once it has.
      stop->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
      auto* poll = new QTimer(qApp);
      QObject::connect(poll, &QTimer::timeout, [&served, poll] {
        if (!StopRequested()) return;
        poll->deleteLater();
        served.release();
      });
      poll->start(5);
    }, Qt::QueuedConnection);
    // A bound only so that a failure ends: the window's thread answers at once.
    served.tryAcquire(1, 60000);
  };
  b.form.ReadProgramClick();
  QVERIFY(found);
  QCOMPARE(b.Outline(), (std::vector<std::string>{"Trying to read the program", "       Stopped by the user."}));
}

void StopCycleTest::commandsRefusedThroughTheAccessibilityBus() {
  // Guards: a screen reader's Press started a second command on the port mid-read (its reset
  // pulse spoiled the read, which still ended "Finished"), Disconnect closed the port under it,
  // and a chip menu item changed the chip. Halfway through a read, every such control is found
  // disabled through the accessibility tree and pressed all the same: nothing else starts.
  Bench b("ATtiny2313");
  FillPattern(b.sim.Chip().State().flash.data(), 2048);
  QSemaphore served;
  long at = 0;
  QStringList enabled, missing;
  b.sim.Gateway().trace = [&](int64_t, const std::string&) {
    if (++at != 2000) return;
    QMetaObject::invokeMethod(qApp, [&] {
      QAccessibleInterface* root = QAccessible::queryAccessibleInterface(&b.form);
      const struct {
        QAccessible::Role role;
        const char* name;
      } controls[] = {
          {QAccessible::Button, "Read Data"},      {QAccessible::Button, "Disconnect"},
          {QAccessible::Button, "Connect"},        {QAccessible::Button, "Autosearch chip"},
          {QAccessible::Button, "Write Program"},  {QAccessible::Button, "Verify Program"},
          {QAccessible::Button, "Read Program"},   {QAccessible::Button, "Write Data"},
          {QAccessible::Button, "Verify Data"},    {QAccessible::Button, "Read Calibration"},
          {QAccessible::Button, "Chip Erase"},     {QAccessible::MenuItem, "Chip Select"},
      };
      for (const auto& c : controls) {
        QAccessibleInterface* i = FindAccessible(root, c.role, c.name);
        if (!i) {
          missing << c.name;
          continue;
        }
        if (!i->state().disabled) enabled << c.name;
        if (i->actionInterface()) i->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
      }
      for (QAction* a : b.form.chipItems) a->trigger();
      served.release();
    }, Qt::QueuedConnection);
    served.tryAcquire(1, 60000);
  };
  b.form.ReadProgramClick();
  QCoreApplication::processEvents();
  QVERIFY2(missing.isEmpty(), qPrintable(missing.join(", ")));
  QVERIFY2(enabled.isEmpty(), qPrintable(enabled.join(", ")));
  QCOMPARE(b.Outline(), (std::vector<std::string>{"Trying to read the program", "       Finished"}));
  QVERIFY(std::equal(ProgramImage.begin(), ProgramImage.begin() + 2048, b.sim.Chip().State().flash.begin()));
  QCOMPARE(SelectedChip, FindChipByName("ATtiny2313")->id);
  QCOMPARE(PortHandle, test::SimDriver::kHandle);
  // Afterwards the port's state decides again.
  QVERIFY(b.form.readProgramButton->isEnabled() && !b.form.connectButton->isEnabled() && b.form.portBox->isEnabled());
}

void StopCycleTest::portShownClosedAfterAFailedExchange() {
  Bench b("ATtiny2313");
  b.sim.Options().hangupAfter = b.sim.Gateway().Commands() + 50;
  b.form.ReadProgramClick();
  QCOMPARE(PortHandle, -1);
  const std::vector<std::string> log = b.f.log.lines;
  // As after Disconnect, without its line: Connect on, the commands off.
  QVERIFY(b.form.connectButton->isEnabled());
  for (QWidget* w : {static_cast<QWidget*>(b.form.disconnectButton), static_cast<QWidget*>(b.form.readProgramButton),
                     static_cast<QWidget*>(b.form.chipEraseButton)})
    QVERIFY(!w->isEnabled());
  QVERIFY(!b.form.readProgramAction->isEnabled());
  QVERIFY(std::find(log.begin(), log.end(), "The COM-port is closed") == log.end());
  // Said once the command's own lines stand.
  QCOMPARE(log.back(), std::string("The gateway stopped answering on /dev/fake (closed)"));
}

QTEST_MAIN(StopCycleTest)
#include "stop_cycle_test.moc"
