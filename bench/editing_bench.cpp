// One hex-digit key press in the hex view of the largest chip (AT90CAN128, 8192 lines):
// median time in the last line, and its ratio to the same press in the first line.
#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextCursor>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/MainWindow.h"
#include "image/Dump.h"
#include "support/Fakes.h"

using namespace quillet;

namespace {

double MedianPressUs(QPlainTextEdit* pane, int line, int presses) {
  std::vector<double> times;
  for (int i = 0; i < presses; ++i) {
    QTextCursor cursor(pane->document());
    cursor.setPosition(ViewPosition(line, 10 + 3 * (i % 16)));
    pane->setTextCursor(cursor);
    QElapsedTimer timer;
    timer.start();
    QTest::keyClick(pane, i % 2 ? Qt::Key_5 : Qt::Key_A);
    times.push_back(timer.nsecsElapsed() / 1000.0);
  }
  std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  test::CoreFixture fixture;
  MainWindow form;
  form.show();
  SelectChip(8492830);  // AT90CAN128
  QPlainTextEdit* pane = form.programView1;
  pane->setFocus();
  MedianPressUs(pane, 8191, 50);  // warm-up
  const double first = MedianPressUs(pane, 0, 401);
  const double last = MedianPressUs(pane, 8191, 401);
  std::printf("hex-digit key press, 8192-line view: last line median %.1f us, first line %.1f us, ratio %.2f\n",
              last, first, first > 0 ? last / first : 0.0);
  return last <= 1000.0 ? 0 : 1;
}
