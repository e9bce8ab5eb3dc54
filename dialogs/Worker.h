// The window's chip commands run on a worker thread while the window's thread stays in its
// event loop: it repaints, answers the accessibility bus and takes Stop at any time.
#pragma once

#include <QEvent>
#include <QObject>
#include <functional>

namespace quillet {

// Runs work on a worker thread and returns once it has ended. Meanwhile the core's seams
// (log, progress, questions, chip display, views) are served on the window's thread in the
// order they are called. Called on the window's thread while work runs, it does nothing; on
// another thread, it runs the work there at once.
void RunOffWindowThread(const std::function<void()>& work);
bool WorkRunning();

// Tells the windows, on the window's thread, when a work starts and when it has ended. While it
// runs, each window disables whatever starts a command or changes the port or the chip: a
// disabled control refuses the mouse, the keys, shortcuts and the accessibility bus alike, so
// that no second command reaches the port.
class WorkNotifier : public QObject {
  Q_OBJECT

 signals:
  void started();
  void ended();
};
WorkNotifier& Work();

// The events by which a user acts on a window, closing it included.
bool IsUserAction(QEvent::Type type);

}  // namespace quillet
