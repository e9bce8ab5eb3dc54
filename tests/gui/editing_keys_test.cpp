// Hex view and "ID bytes:" editing: the rules as a table, the key mapping, and the window side.
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextCursor>

#include "app/HexEditing.h"
#include "app/KeyCodes.h"
#include "app/MainWindow.h"
#include "image/Dump.h"
#include "image/Images.h"
#include "support/Fakes.h"

using namespace quillet;

namespace {

constexpr int kSize = 32;  // two lines, so every wrap goes somewhere visible
constexpr int kTyped = kTypedChar;

struct Byte {
  int line, k, value;
};

struct ViewCase {
  const char* name;
  int line, column, key;
  Byte preset;  // a byte set before the key (value -1: none)
  int endLine, endColumn;
  Byte expect;  // the byte after the key (value -1: nothing changes)
};

const ViewCase kViewCases[] = {
    {"digit over first digit", 0, 10, '1', {0, 0, -1}, 0, 11, {0, 0, 0x1F}},
    {"second digit makes 12, char is code 31", 0, 11, '2', {0, 0, 0x1F}, 0, 12, {0, 0, 0x12}},
    {"key on the blank enters nothing", 0, 12, '3', {0, 0, 0x12}, 0, 13, {0, 0, -1}},
    {"lower-case hex code is upper-cased", 0, 10, 'a', {0, 0, -1}, 0, 11, {0, 0, 0xAF}},
    {"non-hex letter only moves", 0, 10, 'G', {0, 0, -1}, 0, 11, {0, 0, -1}},
    {"space only moves", 0, 10, ' ', {0, 0, -1}, 0, 11, {0, 0, -1}},
    {"last field, first digit", 1, 55, '7', {1, 15, -1}, 1, 56, {1, 15, 0x7F}},
    {"Delete on a digit writes F", 0, 10, kKeyDelete, {0, 0, 0x12}, 0, 11, {0, 0, 0xF2}},
    {"Delete in the character column writes FF", 0, 64, kKeyDelete, {0, 0, 0x12}, 0, 65, {0, 0, 0xFF}},
    {"Delete in the address only moves", 0, 3, kKeyDelete, {0, 0, -1}, 0, 10, {0, 0, -1}},
    {"A in the character column writes 41", 0, 64, 'A', {0, 0, -1}, 0, 65, {0, 0, 0x41}},
    {"Enter in the character column is clamped to 1F", 1, 79, kKeyEnter, {1, 15, -1}, 1, 80, {1, 15, 0x1F}},
    // '(' shares its character code with Down: it must be entered, not taken for an arrow.
    {"typed ( in the character column", 0, 65, kTyped | '(', {0, 1, -1}, 0, 66, {0, 1, 0x28}},
    {"typed e-acute in the character column", 0, 64, kTyped | 0xE9, {0, 0, -1}, 0, 65, {0, 0, 0xE9}},
    {"typed . in the hex area is not Delete", 0, 10, kTyped | '.', {0, 0, 0x12}, 0, 11, {0, 0, -1}},
    {"Backspace behind second digit", 0, 12, kKeyBackspace, {0, 0, 0x12}, 0, 11, {0, 0, 0x1F}},
    {"Backspace behind the blank changes nothing", 0, 13, kKeyBackspace, {0, 0, 0x12}, 0, 12, {0, 0, -1}},
    {"Backspace at first digit of line 0 wraps to last line", 0, 10, kKeyBackspace, {0, 0, -1}, 1, 57, {0, 0, -1}},
    {"Backspace at address start goes to previous line", 1, 0, kKeyBackspace, {0, 0, -1}, 0, 57, {0, 0, -1}},
    {"Backspace in the character column writes FF", 0, 65, kKeyBackspace, {0, 0, 0x12}, 0, 64, {0, 0, 0xFF}},
    {"Backspace at first character goes to previous line's end", 1, 64, kKeyBackspace, {0, 0, -1}, 0, 80, {0, 0, -1}},
    {"Backspace in separator of line 0 wraps", 0, 60, kKeyBackspace, {0, 0, -1}, 1, 80, {0, 0, -1}},
    {"key behind the last line's characters wraps to line 0", 1, 80, '5', {0, 0, -1}, 0, 64, {0, 0, -1}},
    {"key behind the characters goes to next line", 0, 80, 'A', {0, 0, -1}, 1, 64, {1, 0, -1}},
    {"key in separator goes to next line's first digit", 0, 58, '5', {0, 0, -1}, 1, 10, {1, 0, -1}},
    {"key in last line's separator wraps", 1, 57, '5', {0, 0, -1}, 0, 10, {0, 0, -1}},
    {"key in the address goes to the first digit", 0, 3, '5', {0, 0, -1}, 0, 10, {0, 0, -1}},
};

std::u16string Dump(const Byte& preset, uint8_t (&bytes)[kSize]) {
  std::fill(std::begin(bytes), std::end(bytes), 0xFF);
  if (preset.value >= 0) bytes[preset.line * 16 + preset.k] = static_cast<uint8_t>(preset.value);
  return BuildDump(bytes, kSize);
}

void Apply(std::u16string& text, const KeyResult& r) {
  for (const TextEdit& e : r.edits) text.replace(e.position, e.text.size(), e.text);
}

QString Q(const std::u16string& s) { return QString::fromStdU16String(s); }

}  // namespace

class EditingKeysTest : public QObject {
  Q_OBJECT

 private slots:
  void viewRules_data() {
    QTest::addColumn<int>("index");
    for (int i = 0; i < static_cast<int>(std::size(kViewCases)); ++i) QTest::newRow(kViewCases[i].name) << i;
  }
  void viewRules() {
    QFETCH(int, index);
    const ViewCase& c = kViewCases[index];
    uint8_t bytes[kSize];
    std::u16string text = Dump(c.preset, bytes);
    const std::u16string before = text;
    const KeyResult r = ViewKeyDown([&](int p) { return text.at(p); }, ViewPosition(c.line, c.column), c.key, kSize);
    QVERIFY(r.consumed);
    Apply(text, r);
    QCOMPARE(r.cursor, ViewPosition(c.endLine, c.endColumn));
    uint8_t expected[kSize];
    std::copy(std::begin(bytes), std::end(bytes), expected);
    if (c.expect.value >= 0) expected[c.expect.line * 16 + c.expect.k] = static_cast<uint8_t>(c.expect.value);
    // The whole text must be the dump of the expected bytes: digits and characters agree,
    // and nothing else moved.
    QCOMPARE(Q(text), Q(BuildDump(expected, kSize)));
    if (c.expect.value < 0) QCOMPARE(Q(text), Q(before));
  }

  void viewRulesPassOrRefuse() {
    uint8_t bytes[kSize];
    const std::u16string text = Dump({0, 0, -1}, bytes);
    auto at = [&](int p) { return text.at(p); };
    for (int arrow = kKeyLeft; arrow <= kKeyDown; ++arrow) QVERIFY(!ViewKeyDown(at, 10, arrow, kSize).consumed);
    // Before the first selection a view has no lines.
    QVERIFY(!ViewKeyDown([](int) { return u'\0'; }, 0, '1', 0).consumed);
  }

  void idBytesRules_data() {
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("cursor");
    QTest::newRow("Backspace at 0 goes to the end") << 0 << kKeyBackspace << "01 90 1E" << 8;
    QTest::newRow("A at 7") << 7 << int('A') << "01 90 1A" << 8;
    QTest::newRow("lower-case code a at 0") << 0 << int('a') << "A1 90 1E" << 1;
    QTest::newRow("key at the end goes to the start") << 8 << int('5') << "01 90 1E" << 0;
    QTest::newRow("Backspace behind a digit") << 5 << kKeyBackspace << "01 9F 1E" << 4;
    QTest::newRow("Backspace behind a blank") << 3 << kKeyBackspace << "01 90 1E" << 2;
    QTest::newRow("Delete writes F") << 0 << kKeyDelete << "F1 90 1E" << 1;
    QTest::newRow("digit on a blank only moves") << 2 << int('5') << "01 90 1E" << 3;
    QTest::newRow("non-hex only moves") << 1 << int('Z') << "01 90 1E" << 2;
  }
  void idBytesRules() {
    QFETCH(int, position);
    QFETCH(int, key);
    QFETCH(QString, text);
    QFETCH(int, cursor);
    std::u16string t = u"01 90 1E";
    const KeyResult r = IdBytesKeyDown(t, position, key);
    QVERIFY(r.consumed);
    Apply(t, r);
    QCOMPARE(Q(t), text);
    QCOMPARE(r.cursor, cursor);
    QVERIFY(!IdBytesKeyDown(u"01 90 1E", 3, kKeyUp).consumed);
  }

  void keyCodes_data() {
    QTest::addColumn<int>("qtKey");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("code");
    const int none = Qt::NoModifier;
    QTest::newRow("a") << int(Qt::Key_A) << none << "a" << 65;
    QTest::newRow("Shift+A") << int(Qt::Key_A) << int(Qt::ShiftModifier) << "A" << 65;
    QTest::newRow("5") << int(Qt::Key_5) << none << "5" << 53;
    QTest::newRow("keypad 1") << int(Qt::Key_1) << int(Qt::KeypadModifier) << "1" << 49;
    QTest::newRow("Backspace") << int(Qt::Key_Backspace) << none << "\b" << kKeyBackspace;
    QTest::newRow("Delete") << int(Qt::Key_Delete) << none << "\x7f" << kKeyDelete;
    QTest::newRow("Left") << int(Qt::Key_Left) << none << "" << kKeyLeft;
    QTest::newRow("Down") << int(Qt::Key_Down) << none << "" << kKeyDown;
    QTest::newRow("Return") << int(Qt::Key_Return) << none << "\r" << kKeyEnter;
    QTest::newRow("space") << int(Qt::Key_Space) << none << " " << 32;
    QTest::newRow("(") << int(Qt::Key_ParenLeft) << int(Qt::ShiftModifier) << "(" << (kTyped | '(');
    QTest::newRow("e-acute") << int(Qt::Key_Eacute) << none << QString(QChar(0xE9)) << (kTyped | 0xE9);
    QTest::newRow("euro") << int(Qt::Key_unknown) << none << QString(QChar(0x20AC)) << (kTyped | 0x80);
    QTest::newRow("AltGr @") << int(Qt::Key_At) << int(Qt::GroupSwitchModifier) << "@" << (kTyped | '@');
    // A modifier alone used to write byte 1F in the character column.
    QTest::newRow("Shift alone") << int(Qt::Key_Shift) << int(Qt::ShiftModifier) << "" << kNoKey;
    QTest::newRow("Ctrl alone") << int(Qt::Key_Control) << int(Qt::ControlModifier) << "" << kNoKey;
    QTest::newRow("Alt alone") << int(Qt::Key_Alt) << int(Qt::AltModifier) << "" << kNoKey;
    QTest::newRow("AltGr alone") << int(Qt::Key_AltGr) << none << "" << kNoKey;
    QTest::newRow("Meta alone") << int(Qt::Key_Meta) << int(Qt::MetaModifier) << "" << kNoKey;
    QTest::newRow("F5") << int(Qt::Key_F5) << none << "" << kNoKey;
    QTest::newRow("Home") << int(Qt::Key_Home) << none << "" << kNoKey;
    QTest::newRow("Page Down") << int(Qt::Key_PageDown) << none << "" << kNoKey;
    QTest::newRow("Insert") << int(Qt::Key_Insert) << none << "" << kNoKey;
    QTest::newRow("Escape") << int(Qt::Key_Escape) << none << "\x1b" << kNoKey;
    QTest::newRow("Tab") << int(Qt::Key_Tab) << none << "\t" << kNoKey;
    QTest::newRow("Ctrl+C stays a shortcut") << int(Qt::Key_C) << int(Qt::ControlModifier) << "\x03" << kNoKey;
  }
  void keyCodes() {
    QFETCH(int, qtKey);
    QFETCH(int, modifiers);
    QFETCH(QString, text);
    QFETCH(int, code);
    QCOMPARE(EditorKeyCode(qtKey, static_cast<unsigned>(modifiers), reinterpret_cast<const char16_t*>(text.utf16()),
                           static_cast<int>(text.size())),
             code);
  }

  // The window side: keys reach the panes through the filter and land where ViewToImage
  // reads them.
  void windowEditing() {
    test::CoreFixture fixture;
    MainWindow form;
    QPlainTextEdit* pane = form.programView1;
    QVERIFY(pane);
    QTest::keyClick(pane, Qt::Key_A);  // no chip yet: nothing to edit
    QVERIFY(pane->toPlainText().isEmpty());

    SelectChip(692510);  // ATtiny2313: 128 lines
    QTextCursor cursor(pane->document());
    cursor.setPosition(ViewPosition(0, 10));
    pane->setTextCursor(cursor);
    QTest::keyClick(pane, Qt::Key_Shift, Qt::ShiftModifier);
    QTest::keyClick(pane, Qt::Key_F5);
    QCOMPARE(pane->textCursor().position(), ViewPosition(0, 10));
    QTest::keyClicks(pane, "12");
    QTest::keyClick(pane, Qt::Key_A, Qt::ControlModifier);  // select-all shortcut, no byte
    cursor.setPosition(ViewPosition(0, 12));
    pane->setTextCursor(cursor);
    QTest::keyClick(pane, Qt::Key_3);
    QCOMPARE(pane->textCursor().position(), ViewPosition(0, 13));
    QCOMPARE(pane->toPlainText().mid(0, 16), QString("00000000: 12 FF "));
    QCOMPARE(pane->document()->characterAt(ViewPosition(0, 64)).unicode(), DisplayChar(0x12));

    cursor.setPosition(ViewPosition(127, 80));  // end of the last line
    pane->setTextCursor(cursor);
    QTest::keyClick(pane, Qt::Key_B);
    QCOMPARE(pane->textCursor().position(), ViewPosition(0, 64));
    cursor.setPosition(ViewPosition(127, 11));
    pane->setTextCursor(cursor);
    QTest::keyClick(pane, Qt::Key_0);
    form.ViewToImage(1, 1);
    QCOMPARE(int(ProgramImage[0]), 0x12);
    QCOMPARE(int(ProgramImage[127 * 16]), 0xF0);

    QLineEdit* id = form.signatureEdit;
    QCOMPARE(id->text(), QString("0A 91 1E"));
    id->setCursorPosition(7);
    QTest::keyClick(id, Qt::Key_A);
    QCOMPARE(id->text(), QString("0A 91 1A"));
    QCOMPARE(id->cursorPosition(), 8);
    QTest::keyClick(id, Qt::Key_Backspace);
    QCOMPARE(id->text(), QString("0A 91 1F"));
    // The field is writable so that it shows its cursor: paste, cut, undo and text typed
    // past its end must still leave it as the editor made it.
    QApplication::clipboard()->setText("XYZ");
    for (auto [key, mods] : {std::pair{Qt::Key_V, Qt::ControlModifier}, {Qt::Key_X, Qt::ControlModifier},
                             {Qt::Key_Z, Qt::ControlModifier}, {Qt::Key_Insert, Qt::ShiftModifier}}) {
      id->selectAll();
      QTest::keyClick(id, key, mods);
      QCOMPARE(id->text(), QString("0A 91 1F"));
    }
    id->setCursorPosition(8);
    QTest::keyClicks(id, "q!");
    QCOMPARE(id->text().size(), 8);
  }
};

QTEST_MAIN(EditingKeysTest)
#include "editing_keys_test.moc"
