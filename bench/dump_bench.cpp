// Building and parsing the dump text of a 128 KB view in one piece, against filling a pane
// field by field with select-and-replace (2 + 1 characters a byte), measured on a 16 KB view.
#include <QApplication>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <vector>

#include "image/Dump.h"
#include "bench/Timing.h"

using namespace quillet;

namespace {

using bench::MedianMs;

QString ToQString(const std::u16string& s) {
  return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size()));
}

void Select(QTextCursor& cursor, int position, int count) {
  cursor.setPosition(position);
  cursor.setPosition(position + count, QTextCursor::KeepAnchor);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  int runs = argc > 1 ? std::atoi(argv[1]) : 11;

  // The largest Flash, ATmega2560's 256 KB.
  constexpr size_t kBig = 262144, kSmall = 16384;
  std::vector<uint8_t> bytes(kBig), back(kBig);
  std::mt19937 random(1);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());

  std::u16string text;
  double build = MedianMs(runs, [&] { text = BuildDump(bytes.data(), kBig); });
  double parse = MedianMs(runs, [&] {
    if (!ParseDump(text, back.data(), kBig)) std::exit(1);
  });
  if (back != bytes) return 1;

  // The one-piece way into a pane and out of it, 16 KB.
  QPlainTextEdit pane;
  pane.setReadOnly(true);
  pane.setLineWrapMode(QPlainTextEdit::NoWrap);
  std::u16string small;
  double oursIn = MedianMs(runs, [&] {
    small = BuildDump(bytes.data(), kSmall);
    pane.setPlainText(ToQString(small));
  });
  double oursOut = MedianMs(runs, [&] {
    QString t = pane.toPlainText();
    std::u16string s(reinterpret_cast<const char16_t*>(t.utf16()), static_cast<size_t>(t.size()));
    if (!ParseDump(s, back.data(), kSmall)) std::exit(1);
  });

  // Field by field: the pane already holds blank lines; each byte replaces its two digits and
  // its character, hidden as the window would be.
  std::vector<uint8_t> erased(kSmall, 0xFF);
  const QString blank = ToQString(BuildDump(erased.data(), kSmall));
  static const char kHex[] = "0123456789ABCDEF";
  int fieldRuns = std::max(3, runs / 3);
  double fieldIn = MedianMs(fieldRuns, [&] {
    pane.setPlainText(blank);
    pane.hide();
    QTextCursor cursor(pane.document());
    for (size_t i = 0; i < kSmall; ++i) {
      int line = static_cast<int>(i / 16), k = static_cast<int>(i % 16);
      const QChar digits[2] = {QChar(kHex[bytes[i] >> 4]), QChar(kHex[bytes[i] & 0xF])};
      Select(cursor, ViewPosition(line, HexColumn(k)), 2);
      cursor.insertText(QString(digits, 2));
      Select(cursor, ViewPosition(line, CharColumn(k)), 1);
      cursor.insertText(QString(QChar(DisplayChar(bytes[i]))));
    }
  });
  double fieldOut = MedianMs(fieldRuns, [&] {
    QTextCursor cursor(pane.document());
    for (size_t i = 0; i < kSmall; ++i) {
      Select(cursor, ViewPosition(static_cast<int>(i / 16), HexColumn(static_cast<int>(i % 16))), 2);
      back[i] = static_cast<uint8_t>(cursor.selectedText().toUInt(nullptr, 16));
    }
  });
  if (!std::equal(bytes.begin(), bytes.begin() + kSmall, back.begin())) return 1;

  std::printf("dump text, median of %d runs (field by field: %d runs)\n", runs, fieldRuns);
  std::printf("  BuildDump 256 KB        %8.3f ms  %s (target 100 ms)\n", build, build <= 100 ? "ok" : "OVER TARGET");
  std::printf("  ParseDump 256 KB        %8.3f ms  %s (target 100 ms)\n", parse, parse <= 100 ? "ok" : "OVER TARGET");
  std::printf("  16 KB into a pane:  one piece %8.3f ms, field by field %9.3f ms, ratio %.4f\n", oursIn,
              fieldIn, oursIn / fieldIn);
  std::printf("  16 KB out of a pane: one piece %8.3f ms, field by field %9.3f ms, ratio %.4f\n", oursOut,
              fieldOut, oursOut / fieldOut);
  return 0;
}
