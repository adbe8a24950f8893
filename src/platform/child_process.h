// Child processes for the test mode: the host runs itself on one script at a time, its output
// captured through a pipe, with a time limit and the interrupt key watched meanwhile.
#ifndef INVOKEMODULE_PLATFORM_CHILD_PROCESS_H_
#define INVOKEMODULE_PLATFORM_CHILD_PROCESS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// The name of this build's platform: "linux", "win32" or "win64".
const char* platformTag();

// The full path of the running executable; empty when it cannot be found.
std::string executablePath();

// Sets a variable of this process's environment, which child processes inherit.
void setEnvironmentVariable(const char* name, const char* value);

// Catches the interrupt key (Ctrl-C) for the whole process, whatever its input is, so that a
// running child is ended and the parent can report before it stops.
void installRunInterruptHandler();
bool runInterrupted();

struct ChildRun {
  enum Ending { Exited, Signalled, TimedOut, Interrupted, NotStarted } ending = NotStarted;
  std::int64_t code = 0;  // the exit status (Exited) or the signal number (Signalled)
  std::string output;     // standard output and standard error, as written
};

// Runs `arguments` (the program first) in the current directory with standard input from the
// null device and both output streams into one pipe, and waits for it to end, at most
// `timeoutMilliseconds`; a child still running then, or when an interrupt arrives, is killed.
ChildRun runChild(const std::vector<std::string>& arguments, std::int64_t timeoutMilliseconds);

// The name of signal `number` as the system spells it ("SIGSEGV"), or empty when it has none
// (and on Windows, whose processes end by no signal).
std::string signalName(int number);

}  // namespace platform

#endif  // INVOKEMODULE_PLATFORM_CHILD_PROCESS_H_
