// Program arguments: the option table from the interface texts, the left-to-right parser, and
// the help text made from the tables of options and commands.
#include "console/program_arguments.h"

#include "commands/dispatch.h"

namespace {

constexpr OptionRow kOptions[] = {
#define INVOKEMODULE_OPTION_ROW(id, spellings, value, needs, severalScripts, about) \
  {spellings, value, needs, severalScripts, about},
    INVOKEMODULE_OPTIONS(INVOKEMODULE_OPTION_ROW)
#undef INVOKEMODULE_OPTION_ROW
};

constexpr std::string_view kProgram = "invokemodule";

bool hasSpelling(const OptionRow& row, std::string_view spelling) {
  std::string_view rest = row.spellings;
  while (!rest.empty()) {
    std::size_t space = rest.find(' ');
    if (rest.substr(0, space) == spelling) return true;
    rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
  }
  return false;
}

// The row `spelling` names, or the table's size.
std::size_t findOption(std::span<const OptionRow> table, std::string_view spelling) {
  std::size_t row = 0;
  while (row < table.size() && !hasSpelling(table[row], spelling)) ++row;
  return row;
}

// Whether `argument` is one of the table's options as written: a spelling, or a spelling,
// "=" and a value for an option that takes one.
bool isKnownOption(std::span<const OptionRow> table, std::string_view argument) {
  std::size_t equals = argument.find('=');
  std::size_t row = findOption(table, argument.substr(0, equals));
  return row < table.size() && (equals == std::string_view::npos || !table[row].value.empty());
}

// Takes the option at arguments[*next] (and its value, which may be the next argument);
// returns an error text, empty when it was understood.
std::string takeOption(std::span<const std::string_view> arguments, std::size_t* next,
                       std::span<const OptionRow> table, ProgramArguments* parsed) {
  std::string_view argument = arguments[(*next)++];
  std::size_t equals = argument.find('=');
  std::string_view name = argument.substr(0, equals);
  std::size_t row = findOption(table, name);
  bool withValue = equals != std::string_view::npos;
  if (row == table.size() || (withValue && table[row].value.empty())) {
    return "unknown option '" + std::string(argument) + "'";
  }
  std::string value;
  if (withValue) {
    value = argument.substr(equals + 1);
  } else if (!table[row].value.empty()) {
    if (*next == arguments.size()) {
      return "option '" + std::string(name) + "' needs a value: " + std::string(name) + " " +
             std::string(table[row].value);
    }
    value = arguments[(*next)++];
  }
  parsed->options[row] = std::move(value);
  return "";
}

// Checks what the options given ask of each other and of the number of scripts.
std::string checkCombination(std::span<const OptionRow> table, const ProgramArguments& parsed) {
  bool several = false;
  for (std::size_t row = 0; row < table.size(); ++row) {
    if (!parsed.options[row]) continue;
    std::string_view needs = table[row].needs;
    std::size_t needed = findOption(table, needs);
    if (!needs.empty() && (needed == table.size() || !parsed.options[needed])) {
      std::string first(table[row].spellings.substr(0, table[row].spellings.find(' ')));
      return "option '" + first + "' needs '" + std::string(needs) + "'";
    }
    several = several || table[row].severalScripts;
  }
  if (several && parsed.scripts.empty()) return "no script path given";
  if (!several && parsed.scripts.size() > 1) {
    return "one script path at most, but '" + parsed.scripts[1] + "' is a second";
  }
  return "";
}

bool looksLikeOption(std::string_view argument) { return argument.size() > 1 && argument[0] == '-'; }

// Appends `text` broken into lines of at most `width` bytes (a longer word stays whole), each
// after `indent`.
void appendWrapped(std::string* out, std::string_view text, std::string_view indent, std::size_t width) {
  std::size_t lineLength = 0;
  while (!text.empty()) {
    std::size_t space = text.find(' ');
    std::string_view word = text.substr(0, space);
    text = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
    if (lineLength > 0 && lineLength + 1 + word.size() > width) {
      out->append("\n");
      lineLength = 0;
    }
    out->append(lineLength == 0 ? indent : " ");
    out->append(word);
    lineLength += (lineLength == 0 ? indent.size() : 1) + word.size();
  }
  out->append("\n");
}

// One entry of a list in the help text: the name on its own line, what it does below it.
void appendEntry(std::string* out, std::string_view name, std::string_view about) {
  out->append("  ").append(name).append("\n");
  appendWrapped(out, about, "      ", 79);
}

}  // namespace

std::span<const OptionRow> optionTable() { return kOptions; }

ProgramArguments parseProgramArguments(std::span<const std::string_view> arguments,
                                       std::span<const OptionRow> table) {
  ProgramArguments parsed;
  parsed.options.resize(table.size());
  if (arguments.size() == 1 && arguments[0] != "--" && !isKnownOption(table, arguments[0])) {
    parsed.scripts.emplace_back(arguments[0]);
    return parsed;
  }
  bool optionsEnded = false;
  std::size_t next = 0;
  while (next < arguments.size()) {
    std::string_view argument = arguments[next];
    if (!optionsEnded && argument == "--") {
      optionsEnded = true;
      ++next;
    } else if (!optionsEnded && looksLikeOption(argument)) {
      parsed.error = takeOption(arguments, &next, table, &parsed);
      if (!parsed.error.empty()) return parsed;
    } else {
      parsed.scripts.emplace_back(argument);
      optionsEnded = true;  // what follows a script path is a script path too
      ++next;
    }
  }
  parsed.error = checkCombination(table, parsed);
  return parsed;
}

std::string helpText() {
  std::string out = "Usage: " + std::string(kProgram) + " " INVOKEMODULE_SYNOPSIS "\n\n";
  out += std::string(kProgram) + ": " INVOKEMODULE_SUMMARY ".\n";
#define INVOKEMODULE_PARAGRAPH(text) \
  out += "\n";                       \
  appendWrapped(&out, text, "", 79);
  INVOKEMODULE_DESCRIPTION(INVOKEMODULE_PARAGRAPH)
#undef INVOKEMODULE_PARAGRAPH
  out += "\nOptions:\n";
  for (const OptionRow& option : kOptions) {
    std::string names;
    std::string_view rest = option.spellings;
    for (std::size_t space; (space = rest.find(' ')) != std::string_view::npos;) {
      names.append(rest.substr(0, space)).append(", ");
      rest = rest.substr(space + 1);
    }
    names.append(rest);
    if (!option.value.empty()) names.append(" ").append(option.value);
    appendEntry(&out, names, option.about);
  }
  out += "\nCommands:\n";
  for (const CommandRow& command : commandTable()) appendEntry(&out, command.usage, command.about);
  out += "\nScripts hold the commands above, one per line, and these lines too:\n";
#define INVOKEMODULE_ENTRY(name, about) appendEntry(&out, name, about);
  INVOKEMODULE_SCRIPT_LINES(INVOKEMODULE_ENTRY)
  out += "\nEnvironment:\n";
  INVOKEMODULE_ENVIRONMENT(INVOKEMODULE_ENTRY)
#undef INVOKEMODULE_ENTRY
  return out;
}

std::string versionText() { return std::string(kProgram) + " " INVOKEMODULE_VERSION "\n"; }

std::string usageErrorText(std::string_view error) {
  std::string program(kProgram);
  return program + ": " + std::string(error) + "\nUsage: " + program + " " INVOKEMODULE_SYNOPSIS "\nTry '" +
         program + " --help' for more.\n";
}
