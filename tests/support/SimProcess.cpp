#include "support/SimProcess.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

extern char** environ;

namespace quillet::test {

SimProcess::SimProcess(const std::string& binary, const std::vector<std::string>& args) {
  int out[2];
  if (pipe(out) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::vector<std::string> words{binary};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const int rc = posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
    pid_ = -1;
    close(out[0]);
    return;
  }
  // The wait ends with the line; the limit only catches a program that never prints it, so it
  // is generous enough for a sanitized build on a busy machine.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::string line;
  char c = 0;
  pollfd p{out[0], POLLIN, 0};
  while (std::chrono::steady_clock::now() < end) {
    const int r = poll(&p, 1, 100);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0 || !(p.revents & (POLLIN | POLLHUP))) continue;
    if (read(out[0], &c, 1) != 1 || c == '\n') break;
    line += c;
  }
  close(out[0]);
  if (c == '\n') path = line;
}

SimProcess::~SimProcess() { Stop(SIGTERM); }

int SimProcess::Stop(int signal) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return status;
}

}  // namespace quillet::test
