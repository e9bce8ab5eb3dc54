#include "cli/Gang.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/Session.h"

namespace quillet::cli {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kMaxPorts = 64;
volatile sig_atomic_t g_childCount = 0;
pid_t g_children[kMaxPorts];
volatile sig_atomic_t g_parentSignal = 0;

// A stop asked of the gang (Ctrl-C reaches every process of the terminal's group anyway;
// a signal sent to this process alone is passed on).
void OnParentSignal(int signal) {
  if (g_parentSignal == 0) g_parentSignal = signal;
  for (int i = 0; i < g_childCount; ++i)
    if (g_children[i] > 0) kill(g_children[i], signal);
}

struct Child {
  std::string port;
  pid_t pid = -1;
  int fds[3] = {-1, -1, -1};  // its standard output, standard error, status lines
  std::string pending[3];
  std::string chip = "-";
  std::string failure;
  std::string progress;  // "flash write 42%" while an operation runs
  int status = kFailed;
  SteadyClock::time_point start, end;
  bool ended = false;
};

void WriteAll(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = ::write(fd, s.data() + done, s.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// On a terminal, one line per port under the output ("port: flash write 42%"), redrawn.
struct Board {
  bool tty = false;
  size_t shown = 0;
  SteadyClock::time_point drawn;
  std::vector<Child>* children = nullptr;

  void Clear() {
    if (shown) WriteAll(2, "\033[" + std::to_string(shown) + "A\r\033[J");
    shown = 0;
  }
  void Draw(bool force) {
    const auto now = SteadyClock::now();
    if (!tty || (!force && now - drawn < std::chrono::milliseconds(100))) return;
    drawn = now;
    std::string text;
    size_t lines = 0;
    for (const Child& c : *children)
      if (!c.progress.empty()) text += c.port + ": " + c.progress + "\033[K\n", ++lines;
    Clear();
    WriteAll(2, text);
    shown = lines;
  }
};

void TakeLines(Child& c, int which, bool flush, Board& board) {
  std::string& p = c.pending[which];
  size_t start = 0;
  bool printed = false;
  auto print = [&](const std::string& line) {
    if (!printed) board.Clear();
    printed = true;
    WriteAll(which == 0 ? 1 : 2, c.port + ": " + line + "\n");
  };
  for (size_t nl; (nl = p.find('\n', start)) != std::string::npos; start = nl + 1) {
    const std::string line = p.substr(start, nl - start);
    if (which == 2) {
      if (line.rfind("chip ", 0) == 0) c.chip = line.substr(5);
      if (line.rfind("fail ", 0) == 0 && c.failure.empty()) c.failure = line.substr(5);
      if (line.rfind("progress ", 0) == 0) {
        const size_t space = line.rfind(' ');
        c.progress = line.substr(9, space - 9) + " " + line.substr(space + 1) + "%";
        board.Draw(false);
      }
    } else {
      // A result line ends the operation its progress stood for.
      if (which == 1) c.progress.clear();
      print(line);
    }
  }
  p.erase(0, start);
  if (flush && !p.empty()) {
    if (which != 2) print(p);
    p.clear();
  }
  if (printed) board.Draw(true);
}

}  // namespace

std::string PortTag(const std::string& port) {
  std::string base = port.substr(port.rfind('/') == std::string::npos ? 0 : port.rfind('/') + 1);
  for (char& c : base)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') c = '_';
  return base.empty() ? "port" : base;
}

int RunGang(const Options& o) {
  if (o.ports.size() > static_cast<size_t>(kMaxPorts)) {
    std::fprintf(stderr, "quillet-cli: at most %d ports at once\n", kMaxPorts);
    return kUsage;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  struct sigaction sa {};
  sa.sa_handler = OnParentSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  struct sigaction oldInt {}, oldTerm {}, oldHup {};
  sigaction(SIGINT, &sa, &oldInt);
  sigaction(SIGTERM, &sa, &oldTerm);
  sigaction(SIGHUP, &sa, &oldHup);

  std::vector<Child> children(o.ports.size());
  Board board;
  board.tty = ::isatty(2);
  board.children = &children;
  for (size_t i = 0; i < o.ports.size(); ++i) {
    Child& c = children[i];
    c.port = o.ports[i];
    int pipes[3][2];
    for (auto& p : pipes)
      if (pipe(p) != 0) {
        std::perror("quillet-cli: pipe");
        return kFailed;
      }
    c.start = SteadyClock::now();
    const pid_t pid = fork();
    if (pid < 0) {
      std::perror("quillet-cli: fork");
      return kFailed;
    }
    if (pid == 0) {
      // The child: one port, its output to the parent.
      sigaction(SIGINT, &oldInt, nullptr);
      sigaction(SIGTERM, &oldTerm, nullptr);
      sigaction(SIGHUP, &oldHup, nullptr);
      InstallStopHandlers();
      for (size_t k = 0; k < i; ++k)
        for (int fd : children[k].fds) ::close(fd);
      dup2(pipes[0][1], 1);
      dup2(pipes[1][1], 2);
      for (auto& p : pipes) ::close(p[0]);
      ::close(pipes[0][1]);
      ::close(pipes[1][1]);
      const int status = RunPort(o, c.port, "-" + PortTag(c.port), pipes[2][1], board.tty);
      std::fflush(stdout);
      std::fflush(stderr);
      _exit(status);
    }
    c.pid = pid;
    g_children[i] = pid;
    g_childCount = static_cast<sig_atomic_t>(i + 1);
    for (int k = 0; k < 3; ++k) {
      ::close(pipes[k][1]);
      c.fds[k] = pipes[k][0];
    }
  }

  size_t open = children.size();
  while (open > 0) {
    std::vector<pollfd> polls;
    std::vector<std::pair<Child*, int>> owners;
    for (Child& c : children)
      for (int k = 0; k < 3; ++k)
        if (c.fds[k] >= 0) {
          polls.push_back({c.fds[k], POLLIN, 0});
          owners.push_back({&c, k});
        }
    if (poll(polls.data(), polls.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (size_t n = 0; n < polls.size(); ++n) {
      if (!(polls[n].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      Child& c = *owners[n].first;
      const int k = owners[n].second;
      char buf[4096];
      const ssize_t got = ::read(c.fds[k], buf, sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      if (got > 0) {
        c.pending[k].append(buf, static_cast<size_t>(got));
        TakeLines(c, k, false, board);
        continue;
      }
      TakeLines(c, k, true, board);
      ::close(c.fds[k]);
      c.fds[k] = -1;
      if (c.fds[0] < 0 && c.fds[1] < 0 && c.fds[2] < 0) {
        c.end = SteadyClock::now();
        --open;
      }
    }
  }

  for (Child& c : children) c.progress.clear();
  board.Clear();
  int failed = 0;
  bool stopped = false;
  for (Child& c : children) {
    int ws = 0;
    while (waitpid(c.pid, &ws, 0) < 0 && errno == EINTR) {
    }
    c.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + (WIFSIGNALED(ws) ? WTERMSIG(ws) : 0);
    if (c.status != kSuccess) ++failed;
    if (c.status == kInterrupted || c.status == 128 + SIGTERM || c.status == 128 + SIGHUP) stopped = true;
  }
  g_childCount = 0;

  size_t portWidth = 4, chipWidth = 4;
  for (const Child& c : children) {
    portWidth = std::max(portWidth, c.port.size());
    chipWidth = std::max(chipWidth, c.chip.size());
  }
  std::fprintf(stderr, "\n%-*s  %-*s  %-7s  %8s\n", static_cast<int>(portWidth), "port",
               static_cast<int>(chipWidth), "chip", "result", "time");
  for (const Child& c : children) {
    const char* result = c.status == kSuccess                                    ? "ok"
                         : c.status == kInterrupted || c.status == 128 + SIGTERM || c.status == 128 + SIGHUP ? "stopped"
                                                                                 : "FAILED";
    const double secs = std::chrono::duration<double>(c.end - c.start).count();
    std::fprintf(stderr, "%-*s  %-*s  %-7s  %6.2f s%s%s\n", static_cast<int>(portWidth),
                 c.port.c_str(), static_cast<int>(chipWidth), c.chip.c_str(), result, secs,
                 c.failure.empty() ? "" : "  ", c.failure.c_str());
  }
  std::fprintf(stderr, "%zu of %zu ports succeeded\n", children.size() - failed, children.size());
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);
  sigaction(SIGHUP, &oldHup, nullptr);
  if (stopped || g_parentSignal)
    return g_parentSignal == SIGTERM || g_parentSignal == SIGHUP ? 128 + g_parentSignal : kInterrupted;
  return failed ? kFailed : kSuccess;
}

}  // namespace quillet::cli
