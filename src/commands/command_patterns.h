// Recognisers for the command lines and the script-only pause and comment lines.
//
// Each recogniser decides exactly what its documented pattern (below, as an ECMAScript,
// case-insensitive, whole-line regular expression) decides, with the same captures, but in
// linear time and constant stack, so lines of any length are safe. Captures are views
// into the line passed in.
#ifndef INVOKEMODULE_COMMANDS_COMMAND_PATTERNS_H_
#define INVOKEMODULE_COMMANDS_COMMAND_PATTERNS_H_

#include <string_view>

// The contract: the patterns as a regular-expression engine would receive them.
inline constexpr const char* kScriptPathShortcutPattern = R"(^"?[a-z]\:\\.*?\.sqf"?$)";
inline constexpr const char* kArgumentCallPattern =
    R"(^\"(.*?)\"\s+invokemodule\s+\[\s*\"(.*?)\"\s*,\s*(\[.*\])\s*\]\s*(;)?\s*$)";
inline constexpr const char* kFunctionCallPattern = R"(^\"(.*?)\"\s+invokemodule\s+\"(.*)\"\s*(;)?\s*$)";
inline constexpr const char* kFreeExtensionPattern = R"(^freeextension\s+\"(.*?)\"\s*(;)?\s*$)";
inline constexpr const char* kExecVMPattern = R"(^execVM\s+\"(.*?)\"\s*(;)?\s*$)";
inline constexpr const char* kExitPattern = R"(^exit\s*(;)?\s*$)";
// The operand is what follows the word, without the optional ";" and the blanks around it.
inline constexpr const char* kSetContextPattern = R"(^setcontext(?:(?=[\s\[;])\s*(.*?))?\s*(;)?\s*$)";
inline constexpr const char* kCallTimeLimitPattern = R"(^calltimelimit(?:(?=[\s;])\s*(.*?))?\s*(;)?\s*$)";
inline constexpr const char* kSleepPattern = R"(^sleep\s+(\d+|\d+\.\d+)\s*(;)?\s*$)";
inline constexpr const char* kCommentPattern = R"(^//.*$)";

enum class CommandKind {
  None,
  ArgumentCall,
  FunctionCall,
  FreeExtension,
  ExecVM,
  Exit,
  SetContext,
  CallTimeLimit
};

// The captures of a recognised command. Fields a kind does not use stay empty.
struct CommandMatch {
  CommandKind kind = CommandKind::None;
  std::string_view extension;  // argument and function forms: first quoted text, as typed
  std::string_view function;   // argument form: function name; function form: function text
  std::string_view array;      // argument form: the array literal with its outer brackets
  std::string_view operand;    // freeExtension: extension name; execVM: script path; setContext and
                               // callTimeLimit: the rest
  bool hasSemicolon = false;   // the closing ";" group matched
};

struct SleepMatch {
  std::string_view seconds;
  bool hasSemicolon = false;
};

bool matchScriptPathShortcut(std::string_view line);
bool matchArgumentCall(std::string_view line, CommandMatch* match);
bool matchFunctionCall(std::string_view line, CommandMatch* match);
bool matchFreeExtension(std::string_view line, CommandMatch* match);
bool matchExecVM(std::string_view line, CommandMatch* match);
bool matchExit(std::string_view line, CommandMatch* match);
bool matchSetContext(std::string_view line, CommandMatch* match);
bool matchCallTimeLimit(std::string_view line, CommandMatch* match);
bool matchSleep(std::string_view line, SleepMatch* match);
bool matchComment(std::string_view line);

// Tries the command forms in their fixed order; kind None when none matches.
CommandMatch recogniseCommand(std::string_view line);

#endif  // INVOKEMODULE_COMMANDS_COMMAND_PATTERNS_H_
