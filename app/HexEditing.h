// The editing rules of the hex views and the "ID bytes:" field, kept apart from the widgets:
// given the text, the cursor and a key code (app/KeyCodes.h), they say what to replace and
// where the cursor goes. The text never changes length.
#pragma once

#include <functional>
#include <string>
#include <vector>

class QLineEdit;
class QPlainTextEdit;

namespace quillet {

struct TextEdit {
  int position = 0;
  std::u16string text;  // replaces text.size() characters at position
};

struct KeyResult {
  bool consumed = false;  // false: the control handles the key (arrows) or nothing happens
  int cursor = 0;
  std::vector<TextEdit> edits;
};

using CharAt = std::function<char16_t(int position)>;

// A view of viewSize bytes (16 a line, lines ViewPosition apart); position is the cursor.
KeyResult ViewKeyDown(const CharAt& charAt, int position, int key, int viewSize);
// The 8-character "ID bytes:" text.
KeyResult IdBytesKeyDown(const std::u16string& text, int position, int key);

// The widget side: applies the rules to a pane or the field. Consumed keys set key to 0.
// A pane without the lines of its viewSize (no chip selected yet) takes no key.
bool EditViewKey(QPlainTextEdit* pane, int viewSize, int& key);
bool EditIdBytesKey(QLineEdit* field, int& key);

}  // namespace quillet
