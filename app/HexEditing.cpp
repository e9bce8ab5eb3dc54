// Key handling of the hex views (programView1..4) and the "ID bytes:" field (signatureEdit).
#include "app/HexEditing.h"

#include <QEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include "app/KeyCodes.h"
#include "app/MainWindow.h"
#include "dialogs/Worker.h"
#include "image/Dump.h"

namespace quillet {
namespace {

bool IsHexKey(int key) {
  return (key >= '0' && key <= '9') || (key >= 'a' && key <= 'f') || (key >= 'A' && key <= 'F');
}

char16_t UpperHex(int key) { return static_cast<char16_t>(key >= 'a' && key <= 'f' ? key - 32 : key); }

int HexValue(char16_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::u16string HexPair(int byte) {
  static const char16_t digits[] = u"0123456789ABCDEF";
  return {digits[(byte >> 4) & 15], digits[byte & 15]};
}

// Writes the digit at (line, column) and refreshes the byte's character from the field as
// it reads afterwards.
void EnterDigit(const CharAt& charAt, int line, int column, char16_t digit, KeyResult& r) {
  const int k = (column - 10) / 3;
  const int first = ViewPosition(line, HexColumn(k));
  const int pos = ViewPosition(line, column);
  r.edits.push_back({pos, std::u16string(1, digit)});
  const int hi = HexValue(pos == first ? digit : charAt(first));
  const int lo = HexValue(pos == first ? charAt(first + 1) : digit);
  if (hi < 0 || lo < 0) return;  // a field that is not hex cannot be shown as a byte
  r.edits.push_back({ViewPosition(line, CharColumn(k)),
                     std::u16string(1, DisplayChar(static_cast<uint8_t>(hi << 4 | lo)))});
}

// Writes byte b through the character column: the character and the byte's two digits.
void EnterByte(int line, int k, uint8_t b, KeyResult& r) {
  r.edits.push_back({ViewPosition(line, CharColumn(k)), std::u16string(1, DisplayChar(b))});
  r.edits.push_back({ViewPosition(line, HexColumn(k)), HexPair(b)});
}

}  // namespace

KeyResult ViewKeyDown(const CharAt& charAt, int position, int key, int viewSize) {
  KeyResult r;
  if (viewSize < 16 || position < 0 || IsArrowKey(key)) return r;
  const int lastLine = (viewSize - 1) / 16;
  int line = ViewLine(position);
  int column = ViewColumn(position);
  if (line > lastLine) return r;

  if (key == kKeyBackspace) {
    --column;
    if (column < 10) {  // address, colon, blank or first digit: end of the previous hex area
      column = 57;
      if (--line < 0) line = lastLine;
    } else if (column >= 64) {  // character column: the byte becomes FF
      EnterByte(line, column - 64, 0xFF, r);
    } else if (column >= 57) {  // separator: end of the previous character column
      column = 80;
      if (--line < 0) line = lastLine;
    } else if ((column - 10) % 3 != 2) {
      EnterDigit(charAt, line, column, u'F', r);
    }
    r.consumed = true;
    r.cursor = ViewPosition(line, column);
    return r;
  }

  if (key == kKeyDelete) {
    if (column > 9 && column < 57) key = 'F';
    else if (column > 63) key = 255;
  }
  if (column >= 80) {  // behind the character column: first character of the next line
    column = 63;
    if (++line > lastLine) line = 0;
  } else if (column >= 64) {
    if (key < 31) key = 31;
    EnterByte(line, column - 64, static_cast<uint8_t>(key & 0xFF), r);
  } else if (column >= 57) {  // separator: first digit of the next line
    column = 9;
    if (++line > lastLine) line = 0;
  } else if (column < 10) {
    column = 9;
  } else if (IsHexKey(key) && (column - 10) % 3 != 2) {
    EnterDigit(charAt, line, column, UpperHex(key), r);
  }
  r.consumed = true;
  r.cursor = ViewPosition(line, column + 1);
  return r;
}

KeyResult IdBytesKeyDown(const std::u16string& text, int position, int key) {
  KeyResult r;
  const int length = static_cast<int>(text.size());
  if (IsArrowKey(key) || position < 0 || position > length) return r;
  int p = position;
  if (key == kKeyBackspace) {
    if (--p < 0) {
      p = length;
    } else if (p % 3 != 2) {
      r.edits.push_back({p, u"F"});
    }
    r.consumed = true;
    r.cursor = p;
    return r;
  }
  if (key == kKeyDelete) key = 'F';
  if (p > length - 1) {
    p = -1;
  } else if (IsHexKey(key) && p % 3 != 2) {
    r.edits.push_back({p, std::u16string(1, UpperHex(key))});
  }
  r.consumed = true;
  r.cursor = p + 1;
  return r;
}

bool EditViewKey(QPlainTextEdit* pane, int viewSize, int& key) {
  if (!pane || key == kNoKey) return false;
  QTextDocument* doc = pane->document();
  const int lines = viewSize / 16;
  // Before the first selection the pane has no lines; a pane out of step with its size is
  // left alone rather than edited at wrong places.
  if (lines == 0 || doc->characterCount() - 1 != ViewPosition(lines, 0) - 1) return false;
  const KeyResult r = ViewKeyDown([doc](int pos) { return static_cast<char16_t>(doc->characterAt(pos).unicode()); },
                                  pane->textCursor().selectionStart(), key, viewSize);
  if (!r.consumed) return false;
  if (!r.edits.empty()) {
    QTextCursor edit(doc);
    edit.beginEditBlock();
    for (const TextEdit& e : r.edits) {
      edit.setPosition(e.position);
      edit.setPosition(e.position + static_cast<int>(e.text.size()), QTextCursor::KeepAnchor);
      edit.insertText(QString::fromUtf16(e.text.data(), static_cast<qsizetype>(e.text.size())));
    }
    edit.endEditBlock();
  }
  QTextCursor cursor(doc);
  cursor.setPosition(r.cursor);
  pane->setTextCursor(cursor);
  key = kNoKey;
  return true;
}

bool EditIdBytesKey(QLineEdit* field, int& key) {
  if (!field || key == kNoKey) return false;
  QString text = field->text();
  const int position = field->hasSelectedText() ? field->selectionStart() : field->cursorPosition();
  const KeyResult r = IdBytesKeyDown(text.toStdU16String(), position, key);
  if (!r.consumed) return false;
  for (const TextEdit& e : r.edits)
    text.replace(e.position, static_cast<qsizetype>(e.text.size()),
                 QString::fromUtf16(e.text.data(), static_cast<qsizetype>(e.text.size())));
  if (!r.edits.empty()) field->setText(text);
  field->setCursorPosition(r.cursor);
  key = kNoKey;
  return true;
}

bool MainWindow::ViewKeyDown(int view, int& key) {
  if (view < 1 || view > 4) return false;
  return EditViewKey(View(view), viewSize[view], key);
}

bool MainWindow::SignatureKeyDown(int& key) { return EditIdBytesKey(signatureEdit, key); }

namespace {
// Keys that only move the cursor or the focus, or do nothing to the text.
bool Edit2PassesKey(const QKeyEvent& e) {
  switch (e.key()) {
    case Qt::Key_Left: case Qt::Key_Right: case Qt::Key_Up: case Qt::Key_Down:
    case Qt::Key_Home: case Qt::Key_End: case Qt::Key_Tab: case Qt::Key_Backtab:
    case Qt::Key_Escape: case Qt::Key_Shift: case Qt::Key_Control: case Qt::Key_Alt:
    case Qt::Key_AltGr: case Qt::Key_Meta:
      return true;
    default:
      return e.key() >= Qt::Key_F1 && e.key() <= Qt::Key_F35;
  }
}
}  // namespace

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  // X11 pastes the selection on a middle click into a writable field.
  if (watched == signatureEdit && (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease) &&
      static_cast<QMouseEvent*>(event)->button() == Qt::MiddleButton)
    return true;
  if (type != QEvent::KeyPress && type != QEvent::ShortcutOverride)
    return QMainWindow::eventFilter(watched, event);
  int view = -1;
  if (watched && watched == signatureEdit) view = 0;
  for (int v = 1; v <= 4 && view < 0; ++v)
    if (watched && watched == View(v)) view = v;
  if (view < 0) return QMainWindow::eventFilter(watched, event);

  auto* keyEvent = static_cast<QKeyEvent*>(event);
  int key = EditorKeyCode(*keyEvent);
  // The ID field is left writable only so that it shows its cursor: no key may change its
  // text but through the editor below (no paste, cut, undo or typed text).
  if (view == 0 && type == QEvent::KeyPress && key == kNoKey && !Edit2PassesKey(*keyEvent))
    return true;
  if (key == kNoKey || IsArrowKey(key)) return QMainWindow::eventFilter(watched, event);
  if (type == QEvent::ShortcutOverride) {
    // An editing key belongs to the pane, not to a menu shortcut.
    event->accept();
    return true;
  }
  // The views show what a running command reads or writes: edited only between commands.
  if (WorkRunning()) return true;
  const bool consumed = view == 0 ? SignatureKeyDown(key) : ViewKeyDown(view, key);
  if (consumed) return true;
  if (view == 0 && type == QEvent::KeyPress && !Edit2PassesKey(*keyEvent)) return true;
  return QMainWindow::eventFilter(watched, event);
}

}  // namespace quillet
