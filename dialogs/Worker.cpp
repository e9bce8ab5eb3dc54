#include "dialogs/Worker.h"

#include <QApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QThread>
#include <QWidget>
#include <atomic>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

#include "chips/Catalogue.h"
#include "image/Views.h"
#include "log/HostInterfaces.h"
#include "log/Log.h"

namespace quillet {
namespace {

std::atomic<bool> g_running{false};

// f on the window's thread, the caller waiting for it; at once when already there.
template <class F>
auto OnWindowThread(F&& f) -> decltype(f()) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() == app->thread()) return f();
  using R = decltype(f());
  if constexpr (std::is_void_v<R>) {
    QMetaObject::invokeMethod(app, [&] { f(); }, Qt::BlockingQueuedConnection);
  } else {
    std::optional<R> result;
    QMetaObject::invokeMethod(app, [&] { result.emplace(f()); }, Qt::BlockingQueuedConnection);
    return std::move(*result);
  }
}

class LogProxy : public LogSink {
 public:
  explicit LogProxy(LogSink* inner) : inner_(inner) {}
  void AppendLine(const std::string& line) override {
    OnWindowThread([&] { inner_->AppendLine(line); });
  }

 private:
  LogSink* inner_;
};

class DialogProxy : public ProgressDialog {
 public:
  explicit DialogProxy(std::unique_ptr<ProgressDialog> inner) : inner_(std::move(inner)) {}
  ~DialogProxy() override {
    OnWindowThread([&] { inner_.reset(); });
  }
  void SetPosition(int percent) override {
    OnWindowThread([&] { inner_->SetPosition(percent); });
  }
  void AllowStop() override {
    OnWindowThread([&] { inner_->AllowStop(); });
  }
  void SetOperation(const std::string& name) override {
    OnWindowThread([&] { inner_->SetOperation(name); });
  }
  void SetBytes(unsigned long long done, unsigned long long total) override {
    OnWindowThread([&] { inner_->SetBytes(done, total); });
  }

 private:
  std::unique_ptr<ProgressDialog> inner_;
};

class ProgressProxy : public ProgressFactory {
 public:
  explicit ProgressProxy(ProgressFactory& inner) : inner_(inner) {}
  std::unique_ptr<ProgressDialog> Create() override {
    std::unique_ptr<ProgressDialog> dialog = OnWindowThread([&] { return inner_.Create(); });
    if (!dialog) return nullptr;
    return std::make_unique<DialogProxy>(std::move(dialog));
  }

 private:
  ProgressFactory& inner_;
};

class PromptProxy : public UserPrompt {
 public:
  explicit PromptProxy(UserPrompt& inner) : inner_(inner) {}
  bool AskYesNo(const std::string& caption, const std::string& text) override {
    return OnWindowThread([&] { return inner_.AskYesNo(caption, text); });
  }
  void ShowMessage(const std::string& caption, const std::string& text) override {
    OnWindowThread([&] { inner_.ShowMessage(caption, text); });
  }
  std::optional<FileChoice> OpenFile() override {
    return OnWindowThread([&] { return inner_.OpenFile(); });
  }
  std::optional<FileChoice> SaveLogFile() override {
    return OnWindowThread([&] { return inner_.SaveLogFile(); });
  }
  std::optional<FileChoice> SaveFile() override {
    return OnWindowThread([&] { return inner_.SaveFile(); });
  }
  Changes AskSaveChanges(const std::string& caption, const std::string& text) override {
    return OnWindowThread([&] { return inner_.AskSaveChanges(caption, text); });
  }

 private:
  UserPrompt& inner_;
};

class DisplayProxy : public ChipDisplay {
 public:
  explicit DisplayProxy(ChipDisplay* inner) : inner_(inner) {}
  void RefreshChipDisplay(ChipId id) override {
    OnWindowThread([&] { inner_->RefreshChipDisplay(id); });
  }

 private:
  ChipDisplay* inner_;
};

class ViewProxy : public ViewSink {
 public:
  explicit ViewProxy(ViewSink* inner) : inner_(inner) {}
  int ActivePageIndex() override {
    return OnWindowThread([&] { return inner_->ActivePageIndex(); });
  }
  void BlankView(int view) override {
    OnWindowThread([&] { inner_->BlankView(view); });
  }
  void ImageToView(int view, int image) override {
    OnWindowThread([&] { inner_->ImageToView(view, image); });
  }
  void ViewToImage(int view, int image) override {
    OnWindowThread([&] { inner_->ViewToImage(view, image); });
  }

 private:
  ViewSink* inner_;
};

}  // namespace

bool IsUserAction(QEvent::Type type) {
  switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::InputMethod:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::TabletMove:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
    case QEvent::Close:
      return true;
    default:
      return false;
  }
}

bool WorkRunning() { return g_running.load(); }

WorkNotifier& Work() {
  static WorkNotifier notifier;
  return notifier;
}

void RunOffWindowThread(const std::function<void()>& work) {
  if (!QCoreApplication::instance() || QThread::currentThread() != QCoreApplication::instance()->thread()) {
    work();
    return;
  }
  // A second command from the window's thread while one runs would share the port with it.
  if (g_running.load()) return;
  // The seams as installed now, each served on this thread for the worker.
  LogSink* log = GetLogSink();
  ProgressFactory& progress = GetProgressFactory();
  UserPrompt& prompt = GetUserPrompt();
  ChipDisplay* display = GetChipDisplay();
  ViewSink* views = GetViewSink();
  std::optional<LogProxy> logProxy;
  if (log) logProxy.emplace(log);
  ProgressProxy progressProxy(progress);
  PromptProxy promptProxy(prompt);
  std::optional<DisplayProxy> displayProxy;
  if (display) displayProxy.emplace(display);
  std::optional<ViewProxy> viewProxy;
  if (views) viewProxy.emplace(views);
  SetLogSink(logProxy ? &*logProxy : nullptr);
  SetProgressFactory(&progressProxy);
  SetUserPrompt(&promptProxy);
  SetChipDisplay(displayProxy ? &*displayProxy : nullptr);
  SetViewSink(viewProxy ? &*viewProxy : nullptr);

  g_running.store(true);
  emit Work().started();
  {
    QEventLoop loop;
    std::thread worker([&] {
      work();
      QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
  }
  g_running.store(false);

  SetLogSink(log);
  SetProgressFactory(&progress);
  SetUserPrompt(&prompt);
  SetChipDisplay(display);
  SetViewSink(views);
  emit Work().ended();
}

}  // namespace quillet
