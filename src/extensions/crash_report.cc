// The crash, abandon and exit-during-call report texts.
#include "extensions/crash_report.h"

#include "extensions/fault_description.h"
#include "values/game_text.h"

namespace {

void appendFrames(std::string& text, const platform::CrashRecord& crash) {
  for (const CrashFrame& frame : selectCrashFrames(crash.fault)) {
    text += "  at ";
    text += frame.file;
    text += '+';
    appendHex(text, frame.fileOffset);
    if (!frame.symbol.empty()) {
      text += " (";
      text += frame.symbol;
      text += '+';
      appendHex(text, frame.symbolOffset);
      text += ')';
    }
    text += '\n';
  }
}

}  // namespace

std::string describeCallSite(const CallSite& site) {
  std::string text = site.entryPoint;
  if (site.entryPoint[0] == '(') return text;
  text += '(';
  if (site.functionText != nullptr) appendQuoted(text, site.functionText);
  text += ')';
  if (site.outer != nullptr) {
    text.append(" ").append(site.outerLink).append(" ").append(describeCallSite(*site.outer));
  }
  return text;
}

std::string crashReportText(const platform::CrashRecord& crash, const CallSite& site) {
  std::string text =
      "ERROR: Extension crashed: " + describeFault(crash.fault) + " in " + describeCallSite(site) + "\n";
  appendFrames(text, crash);
  return text;
}

std::string threadCrashReportText(const platform::CrashRecord& crash, std::uint64_t threadId) {
  std::string text = "ERROR: Extension crashed: " + describeFault(crash.fault) + " on thread " +
                     std::to_string(threadId) + "\n";
  appendFrames(text, crash);
  return text;
}

std::string abandonReportText(const platform::CrashRecord& crash, const CallSite& site,
                              std::uint64_t milliseconds) {
  std::string text = "ERROR: Call abandoned: " + describeCallSite(site) + " was still running after " +
                     std::to_string(milliseconds) + " ms\n";
  appendFrames(text, crash);
  return text;
}

std::string readPastArgumentsText(std::int64_t slot, std::int32_t argc) {
  return "The call read argv[" + std::to_string(slot) + "], past its " + std::to_string(argc) +
         (argc == 1 ? " argument" : " arguments") + " and the null pointer that ends them\n";
}

std::string withLineUnderFirst(const std::string& report, const std::string& line) {
  std::size_t end = report.find('\n');
  if (end == std::string::npos) return report + "\n" + line;
  return report.substr(0, end + 1) + line + report.substr(end + 1);
}

std::string exitDuringCallText(int status, const CallSite& site) {
  return "Extension called exit(" + std::to_string(status) + ") in " + describeCallSite(site);
}
