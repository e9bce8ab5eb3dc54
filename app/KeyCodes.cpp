#include "app/KeyCodes.h"

#include <QKeyEvent>
#include <array>

#include "image/Dump.h"

namespace quillet {

int UnicodeToCp1252(char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return c;
  static const std::array<char16_t, 32> high = [] {
    std::array<char16_t, 32> t{};
    for (int i = 0; i < 32; ++i) t[i] = Cp1252ToUnicode(static_cast<uint8_t>(0x80 + i));
    return t;
  }();
  for (int i = 0; i < 32; ++i)
    if (high[i] == c) return 0x80 + i;
  return -1;
}

int EditorKeyCode(int qtKey, unsigned modifiers, const char16_t* text, int textLength) {
  switch (qtKey) {
    case Qt::Key_Backspace: return kKeyBackspace;
    case Qt::Key_Delete: return kKeyDelete;
    case Qt::Key_Left: return kKeyLeft;
    case Qt::Key_Up: return kKeyUp;
    case Qt::Key_Right: return kKeyRight;
    case Qt::Key_Down: return kKeyDown;
    case Qt::Key_Return:
    case Qt::Key_Enter: return kKeyEnter;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Escape: return kNoKey;
    default: break;
  }
  // Ctrl+C and friends stay shortcuts; Ctrl+Alt together is AltGr on some systems.
  const bool ctrl = modifiers & Qt::ControlModifier;
  const bool alt = modifiers & Qt::AltModifier;
  const bool meta = modifiers & Qt::MetaModifier;
  if (meta || (ctrl != alt)) return kNoKey;
  // Modifier keys alone and keys that type nothing carry no text.
  if (textLength != 1) return kNoKey;
  const char16_t c = text[0];
  if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) return kNoKey;
  if (c >= 'a' && c <= 'z') return c - 'a' + 'A';
  if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ') return c;
  const int code = UnicodeToCp1252(c);
  return code < 0 ? kNoKey : (kTypedChar | code);
}

int EditorKeyCode(const QKeyEvent& event) {
  const QString text = event.text();
  return EditorKeyCode(event.key(), static_cast<unsigned>(event.modifiers().toInt()),
                       reinterpret_cast<const char16_t*>(text.utf16()), static_cast<int>(text.size()));
}

}  // namespace quillet
