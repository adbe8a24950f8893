// The call context: settings, the chain of running scripts, the argument layouts, the flag
// notes and the host's RVExtensionRequestContext.
#include "extensions/call_context.h"

#include <atomic>
#include <cstdlib>
#include <thread>

#include "extensions/entry_point_call.h"
#include "output/output.h"
#include "platform/crash_guard.h"
#include "values/array_parser.h"
#include "values/game_text.h"

CallContext callContext;

namespace {

constexpr std::size_t kMaxFrames = CallContext::kMaxFrames;

// Reads a decimal whole number of at most `max`; false for anything else.
bool readWhole(std::string_view text, std::uint64_t max, std::uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  std::uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (result > (max - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

// The line number of `frame`'s current line, counting on from where the last count stopped.
std::uint32_t lineNumberOf(ScriptFrame& frame) {
  std::size_t offset = static_cast<std::size_t>(frame.line.data() - frame.text.data());
  if (offset < frame.countedTo) {
    frame.countedTo = 0;
    frame.countedLines = 1;
  }
  for (std::size_t i = frame.countedTo; i < offset; ++i) {
    if (frame.text[i] == '\n') ++frame.countedLines;
  }
  frame.countedTo = offset;
  return frame.countedLines;
}

// The file name part of a path: the script's name, its scope in a stack trace.
const char* scopeNameOf(const char* path) {
  const char* name = path;
  for (const char* at = path; *at != '\0'; ++at) {
    if (*at == '/' || *at == '\\') name = at + 1;
  }
  return name;
}

void fillStackTrace() {
  callContext.traceLines.clear();
  std::size_t kept = callContext.depth < kMaxFrames ? callContext.depth : kMaxFrames;
  for (std::size_t i = kept; i-- > 0;) {
    ScriptFrame& frame = callContext.frames[i];
    std::size_t offset = static_cast<std::size_t>(frame.line.data() - frame.text.data());
    callContext.traceLines.push_back(StackTraceLine{lineNumberOf(frame), static_cast<std::uint32_t>(offset),
                                                    frame.path, scopeNameOf(frame.path), frame.text.data()});
  }
  if (!callContext.typedLine.empty())
    callContext.traceLines.push_back(StackTraceLine{1, 0, "", "", callContext.typedLine.data()});
  callContext.trace.lines = callContext.traceLines.data();
  callContext.trace.lineCount = static_cast<std::uint32_t>(callContext.traceLines.size());
}

}  // namespace

ContextSettings& contextSettings() { return callContext.settings; }

std::vector<std::pair<const char*, std::uint32_t>> runningScriptLines() {
  std::vector<std::pair<const char*, std::uint32_t>> lines;
  std::size_t kept = callContext.depth < kMaxFrames ? callContext.depth : kMaxFrames;
  for (std::size_t i = kept; i-- > 0;) {
    lines.emplace_back(callContext.frames[i].path, lineNumberOf(callContext.frames[i]));
  }
  return lines;
}

std::string readSteamId(std::string_view text, std::string* value) {
  std::uint64_t number = 0;
  if (readWhole(text, UINT64_MAX, &number)) {
    *value = std::to_string(number);
    return "";
  }
  return "the steam ID must be a whole number from 0 to 18446744073709551615, not '" + std::string(text) +
         "'";
}

std::string readOwner(std::string_view text, std::string* value) {
  std::uint64_t number = 0;
  if (readWhole(text, 65535, &number)) {
    *value = std::to_string(number);
    return "";
  }
  return "the owner must be a whole number from 0 to 65535, not '" + std::string(text) + "'";
}

std::string setContextCommandText(const ContextSettings& values) {
  std::string text = "setContext [";
  appendQuoted(text, values.steamId);
  text += ", ";
  appendQuoted(text, values.mission);
  text += ", ";
  appendQuoted(text, values.server);
  text += ", " + values.owner + "]";
  return text;
}

bool readContextLiteral(std::string_view literal, ContextSettings* out) {
  std::size_t end = literal.find_last_not_of(" \t");
  if (literal.empty() || literal[0] != '[' || end == std::string_view::npos || literal[end] != ']') {
    return false;
  }
  std::size_t cursor = 0;
  ArgumentProblems problems;
  ArgumentTexts items = argumentTextsOfLiteral(literal.data(), end + 1, cursor, &problems);
  if (problems.any() || cursor != end || items.size() != 4) return false;
  // The first three are strings, given as the game writes them: quoted, inner quotes doubled.
  std::string texts[3];
  for (std::size_t i = 0; i < 3; ++i) {
    std::string_view item = items.text(i);
    if (item.size() < 2 || item.front() != '"' || item.back() != '"') return false;
    for (std::size_t at = 1; at + 1 < item.size(); ++at) {
      texts[i] += item[at];
      if (item[at] == '"') ++at;
    }
  }
  std::string steamId;
  std::string owner;
  if (!readSteamId(texts[0], &steamId).empty() || !readOwner(items.text(3), &owner).empty()) return false;
  out->steamId = std::move(steamId);
  out->mission = std::move(texts[1]);
  out->server = std::move(texts[2]);
  out->owner = std::move(owner);
  return true;
}

void pushScriptFrame(const char* path, std::string_view text) {
  if (callContext.depth < kMaxFrames)
    callContext.frames[callContext.depth] = ScriptFrame{path, text, text.substr(0, 0), 0, 1};
  ++callContext.depth;
}

void popScriptFrame() {
  if (callContext.depth > 0) --callContext.depth;
}

void setScriptLine(std::string_view line) {
  if (callContext.depth > 0 && callContext.depth <= kMaxFrames)
    callContext.frames[callContext.depth - 1].line = line;
}

void setTypedLine(std::string_view line) {
  callContext.typedLine = line;
  if (line.empty() && callContext.typedCopy.capacity() > 64 * 1024)
    std::string().swap(callContext.typedCopy);  // a huge line's copy
}

void keepTypedLine() {
  if (callContext.depth != 0 || callContext.typedLine.empty() ||
      callContext.typedLine.data() == callContext.typedCopy.data())
    return;
  callContext.typedCopy.assign(callContext.typedLine);
  callContext.typedLine = callContext.typedCopy;
}

void buildContextArguments(std::uint64_t flags, ContextArguments* out) {
  const char* file = callContext.depth > 0 && callContext.depth <= kMaxFrames
                         ? callContext.frames[callContext.depth - 1].path
                         : "";
  out->slots[1] = file;
  out->slots[2] = callContext.settings.mission.c_str();
  out->slots[3] = callContext.settings.server.c_str();
  if ((flags & kFlagTypedContext) != 0 && typedContextSupported()) {
    // The values themselves stand in their slots.
    std::uint64_t steamId = std::strtoull(callContext.settings.steamId.c_str(), nullptr, 10);
    std::uint64_t owner = std::strtoull(callContext.settings.owner.c_str(), nullptr, 10);
    out->slots[0] = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(steamId));
    out->slots[4] =
        reinterpret_cast<const void*>(static_cast<std::uintptr_t>(static_cast<std::uint16_t>(owner)));
  } else {
    out->slots[0] = callContext.settings.steamId.c_str();
    out->slots[4] = callContext.settings.owner.c_str();
  }
  out->count = 5;
  if ((flags & kFlagStackTrace) != 0) {
    fillStackTrace();
    out->slots[5] = &callContext.trace;
    out->count = 6;
  }
}

std::string featureFlagNotes(const std::string& fileName, std::uint64_t flags, std::uint64_t* noted) {
  std::uint64_t unsupported = kFlagUnescapedArguments | (typedContextSupported() ? 0 : kFlagTypedContext);
  std::uint64_t fresh = flags & unsupported & ~*noted;
  if (fresh == 0) return "";
  *noted |= fresh;
  std::string text;
  if ((fresh & kFlagTypedContext) != 0) {
    text += fileName +
            ": feature flag 1 << 0 (context as typed values) is not supported on 32-bit builds: "
            "the context comes as texts\n";
  }
  if ((fresh & kFlagUnescapedArguments) != 0) {
    text += fileName +
            ": feature flag 1 << 3 (arguments not escaped) is not supported: the arguments come "
            "as ever\n";
  }
  return text;
}

std::string featureFlagsFunctionNote(const std::string& fileName) {
  return fileName + ": RVExtensionFeatureFlags is a function, not a uint64_t variable: no flags are read\n";
}

void beginContextCall(RVExtensionContextFunction context, const ContextArguments* arguments) {
  callContext.activeContext = context;
  callContext.activeArguments = arguments;
  callContext.inRequestedContext = false;
}

void endContextCall() {
  callContext.activeContext = nullptr;
  callContext.activeArguments = nullptr;
  callContext.inRequestedContext = false;
}

bool requestedContextRunning() { return callContext.inRequestedContext; }

void requestContext() {
  if (std::this_thread::get_id() == callContext.mainThreadId && callContext.activeContext != nullptr) {
    callContext.inRequestedContext = true;
    callEntryPoint(
        kContextEntryPoint, callContext.activeContext,
        reinterpret_cast<const char**>(const_cast<const void**>(callContext.activeArguments->slots)),
        callContext.activeArguments->count);
    // A context function that left the stack off fails the call as a fault in it would.
    callContext.inRequestedContext = stackImbalanceNoted();
    return;
  }
  if (callContext.misplacedRequestSaid.exchange(true) || outputClosed()) return;
  platform::enterHostCode();  // an abandon of the call waits until the note is out
  printColouredRestoring(ConsoleColour::DarkYellow, "%s\n\n", kMisplacedRequestNote);
  platform::leaveHostCode();
}

extern "C" void INVOKEMODULE_STDCALL RVExtensionRequestContext() { requestContext(); }
