// The window's chip commands run on a worker thread while the window's thread stays in its
// event loop: it repaints, answers the accessibility bus and takes Stop at any time.
#pragma once

#include <QEvent>
#include <functional>

namespace quillet {

// Runs work on a worker thread and returns once it has ended. Meanwhile the core's seams
// (log, progress, questions, chip display, views) are served on the window's thread in the
// order they are called, and user input reaches only the windows opened since the start (the
// progress dialog, a question): nothing else starts. Called while work runs, it runs the new
// work at once on the calling thread.
void RunOffWindowThread(const std::function<void()>& work);
bool WorkRunning();

// Called on the window's thread after each work has ended (the window checks its port).
void SetWorkEndedHandler(std::function<void()> handler);

// The events by which a user acts on a window, closing it included.
bool IsUserAction(QEvent::Type type);

}  // namespace quillet
