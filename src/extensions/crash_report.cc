// The crash, abandon and exit-during-call report texts.
#include "extensions/crash_report.h"

#include "extensions/fault_description.h"
#include "values/game_text.h"

namespace {

void appendFrameStart(std::string& text, const CrashFrame& frame) {
  text += "  at ";
  text += frame.file;
  text += '+';
  appendHex(text, frame.fileOffset);
}

void appendFrame(std::string& text, const CrashFrame& frame) {
  if (frame.repeatedFrames != 0) {
    text += frame.repeatedFrames == 1
                ? "  ... the frame above repeats "
                : "  ... the " + std::to_string(frame.repeatedFrames) + " frames above repeat ";
    text += std::to_string(frame.repeats);
    text += frame.repeats == 1 ? " more time\n" : " more times\n";
    return;
  }
  const std::vector<platform::SourcePlace>& places = frame.code.places;
  for (std::size_t i = 0; i < places.size(); ++i) {
    appendFrameStart(text, frame);
    if (!places[i].function.empty()) text += " in " + demangledName(places[i].function);
    if (!places[i].file.empty()) {
      text += ' ';
      text += places[i].file;
      if (places[i].line > 0) text += ':' + std::to_string(places[i].line);
    }
    if (i + 1 < places.size()) text += " (inlined)";
    text += '\n';
  }
  if (!places.empty()) return;
  appendFrameStart(text, frame);
  // The symbol the debug information or symbol table finds around the address; else the one
  // the system named there.
  const std::string& symbol = !frame.code.symbol.empty() ? frame.code.symbol : frame.symbol;
  if (!symbol.empty()) {
    text += " in ";
    text += demangledName(symbol);
    text += '+';
    appendHex(text, !frame.code.symbol.empty() ? frame.code.symbolOffset : frame.symbolOffset);
  }
  text += '\n';
}

void appendFrames(std::string& text, const platform::CrashRecord& crash, const FrameDescriber& describe) {
  std::vector<CrashFrame> frames = selectCrashFrames(crash.fault);
  if (describe) describe(frames);
  text += crashFrameLines(frames);
}

// The argument as passed, or its first bytes (not cutting a UTF-8 sequence) and its length.
void appendShownArgument(std::string& text, std::string_view argument) {
  if (argument.size() <= kShownArgumentBytes) {
    text += argument;
    return;
  }
  std::size_t cut = kShownArgumentBytes;
  while (cut > 0 && (static_cast<unsigned char>(argument[cut]) & 0xC0) == 0x80) --cut;
  text += argument.substr(0, cut);
  text += "... (" + std::to_string(argument.size()) + " bytes)";
}

}  // namespace

std::string crashFrameLines(const std::vector<CrashFrame>& frames) {
  std::string text;
  for (const CrashFrame& frame : frames) appendFrame(text, frame);
  return text;
}

std::string callOriginLines(const CallOrigin& origin) {
  std::string text;
  for (const CallOrigin::ScriptLine& script : origin.scripts) {
    text += "  called from " + script.path + ':' + std::to_string(script.line) + '\n';
  }
  if (origin.argc < 0) return text;
  text +=
      "  called with " + std::to_string(origin.argc) + (origin.argc == 1 ? " argument: [" : " arguments: [");
  for (std::int32_t i = 0; i < origin.argc && i < kShownArguments; ++i) {
    if (i > 0) text += ", ";
    appendShownArgument(text, origin.argv[i] != nullptr ? origin.argv[i] : "");
  }
  if (origin.argc > kShownArguments) text += ", ...";
  text += "]\n";
  return text;
}

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

std::string crashReportText(const platform::CrashRecord& crash, const CallSite& site,
                            const CallOrigin& origin, const FrameDescriber& describe) {
  std::string text =
      "ERROR: Extension crashed: " + describeFault(crash.fault) + " in " + describeCallSite(site) + "\n";
  appendFrames(text, crash, describe);
  return text + callOriginLines(origin);
}

std::string threadCrashReportText(const platform::CrashRecord& crash, std::uint64_t threadId,
                                  const FrameDescriber& describe) {
  std::string text = "ERROR: Extension crashed: " + describeFault(crash.fault) + " on thread " +
                     std::to_string(threadId) + "\n";
  appendFrames(text, crash, describe);
  return text;
}

std::string abandonReportText(const platform::CrashRecord& crash, const CallSite& site,
                              std::uint64_t milliseconds, const CallOrigin& origin,
                              const FrameDescriber& describe) {
  std::string text = "ERROR: Call abandoned: " + describeCallSite(site) + " was still running after " +
                     std::to_string(milliseconds) + " ms\n";
  appendFrames(text, crash, describe);
  return text + callOriginLines(origin);
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

std::string stackImbalanceReportText(const StackImbalance& imbalance, const CallSite& site,
                                     const CallOrigin& origin) {
  const std::int64_t given = imbalance.argumentBytes;
  const std::int64_t removed = given - imbalance.bytesLeft;
  std::string text = std::string("ERROR: ") + imbalance.entryPoint->plain;
  if (removed == 0) {
    text += " is not __stdcall: it returned with its " + std::to_string(given) +
            " bytes of arguments still on the stack";
  } else if (removed > 0) {
    text += " is not declared as the game calls it: it removed " + std::to_string(removed) +
            " bytes of arguments from the stack, not " + std::to_string(given) + ",";
  } else {
    text += " is not declared as the game calls it: it returned with the stack pointer " +
            std::to_string(-removed) + " bytes below where it was,";
  }
  text +=
      " in " + describeCallSite(site) + "\n  the game calls it as " + imbalance.entryPoint->prototype + "\n";
  return text + callOriginLines(origin);
}

std::string exitDuringCallText(int status, const CallSite& site) {
  return "Extension called exit(" + std::to_string(status) + ") in " + describeCallSite(site);
}
