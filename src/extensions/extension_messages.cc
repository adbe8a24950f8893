// The extension host's texts about loading, calling and freeing extensions.
#include "extensions/extension_messages.h"

#include <charconv>

#include "values/game_text.h"
#include "values/plain_text.h"

std::string loadFailureText(const LoadFailure& failure, bool withReason) {
  std::string text = "Call extension '";
  appendShowingNul(text, failure.typedName);
  text += "' could not be loaded [ERR:" + std::to_string(failure.errorCode) + "]\n";
  if (withReason && !failure.reason.empty()) text += failure.reason + "\n";
  for (const std::string& line : failure.details) text += line + "\n";
  return text;
}

std::string lateBufferWriteText(std::string_view name) {
  return "ERROR: Buffer overrun after the call returned: a thread of " + std::string(name) +
         " wrote into the output buffer\n";
}

std::string notExportedText(std::string_view entryPoint, std::string_view fileName) {
  return std::string(entryPoint) + " is not exported by " + std::string(fileName) + "\n";
}

std::string staysInMemoryText(std::string_view fileName) {
  return std::string(fileName) + " stays in memory; restart the host to load a new build\n";
}

std::string parkedThreadKeepsLibraryText(std::string_view fileName) {
  return std::string(fileName) + " stays in memory: a thread of it is parked\n";
}

std::string residentAfterUnloadText(std::string_view fileName, const ResidencyCauses& causes,
                                    bool nextLoadIsNewCopy) {
  // GNU unique symbols alone keep a library for good; thread-local objects only while the
  // threads that hold them run. A new copy (--watch) shares nothing with this one but the
  // objects of the GNU unique symbols.
  std::string text(fileName);
  if (causes.gnuUnique) {
    return text + " stays in memory (it defines GNU unique symbols): " +
           (nextLoadIsNewCopy ? "the next load is a new copy, but its GNU unique symbols bind to this one's "
                                "objects and go on with their state"
                              : "the next load goes on with its state") +
           "; build it with -fno-gnu-unique, or restart the host";
  }
  text += causes.threadLocalDestructors ? " stays in memory (a thread still holds its thread-local objects)"
                                        : " stays in memory (something in the process still holds it)";
  return text + (nextLoadIsNewCopy ? ": the next load is a new copy with a state of its own"
                                   : ": the next load goes on with its state; restart the host");
}

std::string uniqueSymbolsSharedText(std::string_view fileName) {
  return std::string(fileName) +
         ": the new copy is a library of its own but for its GNU unique symbols, which bind to the objects "
         "of an earlier copy still in memory and go on with their state; build it with -fno-gnu-unique, or "
         "restart the host\n";
}

std::string threadsStillRunningText(std::string_view name, int count) {
  return std::to_string(count) + (count == 1 ? " thread of " : " threads of ") + std::string(name) +
         (count == 1 ? " is still running; its work is cut short"
                     : " are still running; their work is cut short") +
         " when the library is unloaded\n";
}

std::string reloadedText(std::string_view name, std::string_view fileName) {
  return "Extension reloaded: " + std::string(name) + " (" + std::string(fileName) + " changed)\n";
}

std::string faultHandlersReplacedText(std::string_view name) {
  return std::string(name) + " replaced the host's fault handlers; the host's are back in front\n";
}

std::string moduleLoadedText(std::string_view name, std::string_view fileName, std::string_view version) {
  return "InvokeModule loaded: " + std::string(name) + " (" + std::string(fileName) + ") [" +
         std::string(version) + "]\n";
}

std::string noticedCallText(std::string_view extension, const CallSite& site, bool notCalled) {
  std::string text(extension);
  text.append(": ").append(describeCallSite(site));
  if (notCalled) text.append(" was not called");
  return text;
}

void buildResultLine(const CallOutcome& outcome, std::string* line) {
  line->clear();
  if (outcome.argumentForm) line->push_back('[');
  appendQuoted(*line, outcome.result);
  if (outcome.argumentForm) {
    char digits[16];
    line->push_back(',');
    line->append(digits, std::to_chars(digits, digits + sizeof digits, outcome.code).ptr);
    line->append(",0]");
  }
  line->push_back('\n');
}

std::string_view gameWarnings(double milliseconds, std::int32_t argumentCount) {
  static constexpr std::string_view kBoth =
      "The game would return error code 301 (the call took 1000 ms or more)\n"
      "The game would return error code 201 (more than 2048 arguments)\n";
  static constexpr std::size_t kSlowLength = kBoth.find('\n') + 1;  // its first line
  const bool slow = milliseconds >= 1000.0;
  const bool many = argumentCount > 2048;
  if (slow && many) return kBoth;
  if (slow) return kBoth.substr(0, kSlowLength);
  if (many) return kBoth.substr(kSlowLength);
  return {};
}
