// Child processes on POSIX: posix_spawn with a pipe, poll with a deadline, SIGKILL.
#include "platform/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace platform {
namespace {

volatile sig_atomic_t runInterruptFlag = 0;

void onRunInterrupt(int) { runInterruptFlag = 1; }

std::int64_t nowMilliseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Reaps the child, waiting for it; EINTR (the interrupt handler) does not end the wait.
int reap(pid_t child) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

}  // namespace

const char* platformTag() { return "linux"; }

std::string executablePath() {
  char path[4096];
  ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) return {};
  return std::string(path, static_cast<std::size_t>(length));
}

void setEnvironmentVariable(const char* name, const char* value) { ::setenv(name, value, 1); }

void installRunInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = onRunInterrupt;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
}

std::string signalName(int number) {
  static constexpr struct {
    int number;
    const char* name;
  } kNames[] = {
      {SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"}, {SIGILL, "SIGILL"},
      {SIGTRAP, "SIGTRAP"}, {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"},   {SIGFPE, "SIGFPE"},
      {SIGKILL, "SIGKILL"}, {SIGUSR1, "SIGUSR1"}, {SIGSEGV, "SIGSEGV"}, {SIGUSR2, "SIGUSR2"},
      {SIGPIPE, "SIGPIPE"}, {SIGALRM, "SIGALRM"}, {SIGTERM, "SIGTERM"}, {SIGSYS, "SIGSYS"},
      {SIGXCPU, "SIGXCPU"}, {SIGXFSZ, "SIGXFSZ"},
  };
  for (const auto& entry : kNames) {
    if (entry.number == number) return entry.name;
  }
  return {};
}

bool runInterrupted() { return runInterruptFlag != 0; }

ChildRun runChild(const std::vector<std::string>& arguments, std::int64_t timeoutMilliseconds) {
  ChildRun run;
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  int failed = ::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeEnds[1]);
  if (failed != 0) {
    ::close(pipeEnds[0]);
    return run;
  }

  // Read until the pipe's end, or until the child has ended and nothing more is waiting in the
  // pipe (a process it started may hold the pipe open long after); check for the deadline and
  // an interrupt at least every 50 ms throughout.
  const std::int64_t deadline = nowMilliseconds() + timeoutMilliseconds;
  bool open = true;
  bool ended = false;
  int status = 0;
  for (;;) {
    std::int64_t left = deadline - nowMilliseconds();
    if (!ended && (runInterruptFlag || left <= 0)) {
      run.ending = runInterruptFlag ? ChildRun::Interrupted : ChildRun::TimedOut;
      ::kill(child, SIGKILL);
      reap(child);
      break;
    }
    if (!ended) ended = ::waitpid(child, &status, WNOHANG) == child;
    if (!open) {
      if (ended) break;
      ::poll(nullptr, 0, 10);
      continue;
    }
    pollfd entry{pipeEnds[0], POLLIN, 0};
    if (::poll(&entry, 1, ended ? 0 : static_cast<int>(left < 50 ? left : 50)) <= 0) {
      if (ended) break;  // everything the child wrote has been read
      continue;
    }
    char buffer[65536];
    ssize_t got = ::read(pipeEnds[0], buffer, sizeof buffer);
    if (got > 0) {
      run.output.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      open = false;
    }
  }
  ::close(pipeEnds[0]);
  if (run.ending != ChildRun::NotStarted) return run;
  if (WIFSIGNALED(status)) {
    run.ending = ChildRun::Signalled;
    run.code = WTERMSIG(status);
  } else {
    run.ending = ChildRun::Exited;
    run.code = WEXITSTATUS(status);
  }
  return run;
}

}  // namespace platform
