// The window's side of the views: blank views at selection, images <-> views, the ID field.
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTextBlock>
#include <QtTest>

#include <memory>

#include "app/MainWindow.h"
#include "image/Dump.h"
#include "image/Images.h"
#include "support/Fakes.h"

using namespace quillet;

namespace {

QStringList Lines(QPlainTextEdit* pane) { return pane->toPlainText().split('\n'); }

void FillPattern(uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
}

}  // namespace

class WindowViewsTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::CoreFixture> core;
  std::unique_ptr<MainWindow> form;

  void Select(const char* name) {
    SelectChip(FindChipByName(name)->id);
    core->progress.dialogs.clear();
  }

 private slots:
  void init() {
    core = std::make_unique<test::CoreFixture>();
    form = std::make_unique<MainWindow>();
    form->show();
  }
  void cleanup() {
    form.reset();
    core.reset();
  }

  void selectionBlanksEveryView() {
    // The ID field is filled through the same course as a view: one dialog, left at 0, freed.
    SelectChip(FindChipByName("AT90S1200")->id);
    QCOMPARE(core->progress.dialogs.size(), size_t(1));
    QVERIFY(core->progress.dialogs[0].positions.empty());
    QCOMPARE(core->progress.Alive(), 0);
    QVERIFY(form->memoryPages->isVisible());
    Select("AT90S1200");
    for (int view : {1, 2}) {
      const QStringList lines = Lines(form->View(view));
      QCOMPARE(lines.size(), 64);
      QVERIFY(lines.first().startsWith("00000000: FF FF"));
      QVERIFY(lines.last().startsWith("000003F0: "));
      QCOMPARE(lines.last().size(), 80);
      QCOMPARE(lines.last().back(), QChar(0xFF));
    }
    for (int view : {3, 4}) QCOMPARE(Lines(form->View(view)).size(), 4);
    QCOMPARE(form->chipNameEdit->text(), QString("AT90S1200"));
    QCOMPARE(form->signatureEdit->text(), QString("01 90 1E"));
    Select("ATtiny2313");
    QCOMPARE(form->signatureEdit->text(), QString("0A 91 1E"));
    QCOMPARE(Lines(form->programView1).size(), 128);
  }

  void imageToViewAndBack() {
    Select("AT90S8515");  // 8192 bytes: eight progress steps
    FillPattern(ProgramImage.data(), FlashSize);
    ImageToView(1, 1);
    const QStringList lines = Lines(form->programView1);
    QCOMPARE(lines.size(), 512);
    // Byte 0x16 is 0x9D: digits and its Windows-1252 character in one place.
    QCOMPARE(lines[1].mid(HexColumn(6), 2), QString("9D"));
    // The other page's program view stays blank.
    QCOMPARE(Lines(form->programView2).first(),
             "00000000: FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF   |   " + QString(16, QChar(0xFF)));
    QCOMPARE(form->programView1->textCursor().position(), 10);
    QVERIFY(!form->programView1->textCursor().hasSelection());
    QVERIFY(form->memoryPages->isVisible());
    QCOMPARE(core->progress.dialogs.size(), size_t(1));
    QCOMPARE(core->progress.dialogs[0].positions, std::vector<int>({0, 12, 25, 37, 50, 62, 75, 87}));
    QCOMPARE(core->progress.Alive(), 0);

    ProgramImage.fill(0);
    ViewToImage(1, 1);
    std::vector<uint8_t> expected(FlashSize);
    FillPattern(expected.data(), expected.size());
    QVERIFY(std::equal(expected.begin(), expected.end(), ProgramImage.begin()));
    QCOMPARE(ProgramImage[FlashSize], uint8_t(0));  // nothing beyond the chip's size
    QCOMPARE(core->progress.dialogs.size(), size_t(2));
    QCOMPARE(core->progress.dialogs[1].positions.size(), size_t(8));
    QCOMPARE(core->progress.Alive(), 0);
  }

  void dataViewOfTheActivePage() {
    Select("AT90S2313");
    form->memoryPages->setCurrentIndex(1);
    QCOMPARE(ActiveView(2), 4);
    FillPattern(DataImage.data(), EepromSize);
    const QString page1 = form->dataView1->toPlainText();
    ImageToView(ActiveView(2), 2);
    QCOMPARE(form->dataView1->toPlainText(), page1);
    QCOMPARE(Lines(form->dataView2)[0].mid(HexColumn(0), 5), QString("03 0A"));
    // A small memory gets the single step at byte 0, which is (0 + 1) * 100 / 128.
    QCOMPARE(core->progress.dialogs[0].positions, std::vector<int>({0}));
  }

  void viewToImageReadsOnlyTheHexFields() {
    Select("AT90S1200");
    QTextCursor c(form->dataView1->document());
    c.setPosition(ViewPosition(0, HexColumn(0)));
    c.setPosition(ViewPosition(0, HexColumn(0)) + 2, QTextCursor::KeepAnchor);
    c.insertText("12");
    c.setPosition(ViewPosition(0, CharColumn(0)));
    c.setPosition(ViewPosition(0, CharColumn(0)) + 1, QTextCursor::KeepAnchor);
    c.insertText("Z");
    ViewToImage(3, 2);
    QCOMPARE(DataImage[0], uint8_t(0x12));
    QCOMPARE(DataImage[1], uint8_t(0xFF));
  }

  void noChipNoCopy() {
    ProgramImage.fill(0x55);
    ViewToImage(1, 1);
    QCOMPARE(ProgramImage[0], uint8_t(0x55));
    QVERIFY(core->progress.dialogs.empty());
  }

  // Guards an image number with no image wiping or shortening the view.
  void imageWithoutBytesKeepsTheView() {
    Select("AT90S1200");
    const QString before = form->programView1->toPlainText();
    ImageToView(1, 7);
    QCOMPARE(form->programView1->toPlainText(), before);
    QCOMPARE(form->programView1->textCursor().position(), 10);
  }

  // How fast is bench/dump_bench's business; here only that the largest memory fits.
  void largestChipFillsTheView() {
    Select("AT90CAN128");
    FillPattern(ProgramImage.data(), FlashSize);
    ImageToView(1, 1);
    ViewToImage(1, 1);
    QCOMPARE(Lines(form->programView1).size(), 8192);
    QCOMPARE(core->progress.dialogs[0].positions.size(), size_t(128));
  }
};

QTEST_MAIN(WindowViewsTest)
#include "window_views_test.moc"
