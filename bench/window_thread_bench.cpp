// What running the window's commands on a worker thread costs: a Read Program of an AT90CAN128
// (128 KB) through the window's button (worker thread, seams served on the window's thread)
// against the same command called on the window's thread, both with the real progress dialog
// and log pane, on the simulated gateway in virtual time. The hand-over is printed against the
// read's time on the line at 115200 baud (the gateway's contract), counted by the simulator in
// the same run.
//
// Also: the longest the window's thread takes to answer a query during a read through the
// button, asked every 10 ms from another thread (as the accessibility bus would).
//
// Usage: window_thread_bench [runs]
#include <QApplication>
#include <QPlainTextEdit>

#include <cstdio>
#include <cstdlib>
#include <QThread>
#include <atomic>
#include <chrono>
#include <thread>

#include "app/MainWindow.h"
#include "app/QtHostInterfaces.h"
#include "bench/Timing.h"
#include "commands/Driver.h"
#include "support/Fakes.h"
#include "support/SimDriver.h"

using namespace quillet;

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  MainWindow form;
  test::CoreFixture f;
  SetLogSink(&form);
  SetViewSink(&form);
  SetChipDisplay(&form);
  QtProgressFactory bars(&form);
  SetProgressFactory(&bars);
  test::SimDriver sim("AT90CAN128");
  sim.paced = true;
  f.Connect();
  form.EnableControls();
  form.ChipMenuClick(FindChipByName("AT90CAN128")->id);
  form.show();

  int64_t lineUs = 0;
  auto read = [&](bool worker) {
    const int64_t before = sim.NowUs();
    if (worker) form.ReadProgramClick();
    else RunMemoryCommand(MemoryOperation::ReadProgram);
    lineUs = sim.NowUs() - before;
    form.logView->clear();
  };
  read(true);  // warm up
  const double direct = bench::MedianMs(runs, [&] { read(false); });
  const double worker = bench::MedianMs(runs, [&] { read(true); });
  const double line = lineUs / 1000.0;

  std::atomic<bool> reading{true}, asked{false};
  double longestMs = 0;
  int queries = 0;
  std::thread asker([&] {
    while (reading.load()) {
      const auto start = std::chrono::steady_clock::now();
      QMetaObject::invokeMethod(&app, [] {}, Qt::BlockingQueuedConnection);
      longestMs = std::max(longestMs, std::chrono::duration<double, std::milli>(
                                          std::chrono::steady_clock::now() - start).count());
      ++queries;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    asked.store(true);
  });
  form.ReadProgramClick();
  reading.store(false);
  // Its last query may come after the read: answered here.
  while (!asked.load()) app.processEvents();
  asker.join();
  std::printf("read 128 KB: on the window's thread %.1f ms, on the worker %.1f ms (median of %d)\n",
              direct, worker, runs);
  std::printf("hand-over %.1f ms = %.3f %% of the read on the line (%.1f s at 115200 baud)\n",
              worker - direct, 100.0 * (worker - direct) / line, line / 1000.0);
  std::printf("window's thread during a read through the button: %d queries, the longest answered in %.1f ms\n",
              queries, longestMs);
  return 0;
}
