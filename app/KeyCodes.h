// The key codes the hex editors work on, and the one place that maps Qt key events to them.
//
// Codes: digits and letters by their upper-case character codes (typing 'a' gives 65),
// Backspace 8, Delete 46, the arrows 37-40 (left, up, right, down), Enter 13, space 32.
// Any other typed character is kTypedChar | its Windows-1252 code: the editors use the low
// 8 bits in the character column, and the flag keeps such characters apart from the codes
// of the keys above ('(' is not Down, '.' is not Delete).
#pragma once

class QKeyEvent;

namespace quillet {

constexpr int kNoKey = 0;  // not an editing key: the control keeps its usual handling
constexpr int kKeyBackspace = 8;
constexpr int kKeyEnter = 13;
constexpr int kKeyLeft = 37;
constexpr int kKeyUp = 38;
constexpr int kKeyRight = 39;
constexpr int kKeyDown = 40;
constexpr int kKeyDelete = 46;
constexpr int kTypedChar = 0x100;

inline bool IsArrowKey(int code) { return code >= kKeyLeft && code <= kKeyDown; }

// qtKey is a Qt::Key, modifiers Qt::KeyboardModifiers, text the event's text (UTF-16).
// Modifier keys alone, keys that type nothing (F-keys, Home, End, Page Up/Down, Insert,
// Escape, Tab) and Ctrl/Alt/Meta shortcuts give kNoKey.
int EditorKeyCode(int qtKey, unsigned modifiers, const char16_t* text, int textLength);
int EditorKeyCode(const QKeyEvent& event);

// Windows-1252 code of a Unicode character, or -1 when the code page has none.
int UnicodeToCp1252(char16_t c);

}  // namespace quillet
