// Seeds, variants and smaller variants of the calls --fuzz makes, in the game's grammar.
#include "fuzzmode/search_calls.h"

#include <algorithm>
#include <array>

#include "commands/command_patterns.h"
#include "commands/dispatch.h"

namespace {

constexpr std::string_view kBlanks = " \t\f\v\r\n";

std::string_view trimmed(std::string_view text) {
  std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// A text as a string item: in double quotes, each quote doubled.
std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (std::size_t quote; (quote = text.find('"')) != std::string_view::npos;) {
    out.append(text.substr(0, quote + 1)).push_back('"');
    text.remove_prefix(quote + 1);
  }
  out.append(text);
  out.push_back('"');
  return out;
}

bool isStringItem(const std::string& item) {
  return item.size() >= 2 && item.front() == '"' && item.back() == '"';
}

// The text a string item holds.
std::string stringContent(const std::string& item) {
  std::string out;
  for (std::size_t i = 1; i + 1 < item.size(); ++i) {
    out.push_back(item[i]);
    if (item[i] == '"') ++i;  // the second of a doubled quote
  }
  return out;
}

// Numbers at the edges of the game's single-precision scalar and of the integer types an
// extension converts them to.
constexpr std::array<std::string_view, 24> kNumbers = {
    "0",           "-0",         "1",           "-1",         "2",          "255",      "256",      "65535",
    "2147483647",  "2147483648", "-2147483648", "4294967295", "4294967296", "16777216", "16777217", "1e+06",
    "3.40282e+38", "1e+39",      "-1e+39",      "1e-45",      "0.5",        "-0.5",     "1e-05",    "999999"};

// Texts that parse or print badly: quotes, separators, other encodings, format directives.
constexpr std::array<std::string_view, 16> kOddTexts = {
    "\"",       "a\"b",   "\"\"", ",",    "]",  "[",   "\\", " ", "\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC",
    "\xFF\xFE", "%s%s%n", "nil",  "true", "\t", "\x01"};

// The lengths strings are stretched to: small buffers' edges and the output buffer's.
std::size_t stringLength(SearchRandom& random, std::size_t outputSize) {
  const std::size_t lengths[] = {0,
                                 1,
                                 3,
                                 4,
                                 15,
                                 16,
                                 31,
                                 32,
                                 63,
                                 64,
                                 65,
                                 127,
                                 128,
                                 255,
                                 256,
                                 257,
                                 1023,
                                 1024,
                                 4095,
                                 4096,
                                 outputSize - 2,
                                 outputSize - 1,
                                 outputSize,
                                 outputSize + 1,
                                 2 * outputSize};
  return lengths[random.below(std::size(lengths))];
}

// `text` repeated (or 'A' when empty) to `length` bytes.
std::string stretched(std::string_view text, std::size_t length) {
  if (text.size() <= 1) return std::string(length, text.empty() ? 'A' : text[0]);
  std::string out;
  out.reserve(length);
  out.append(text.substr(0, length));
  while (out.size() < length) out.append(out, 0, std::min(out.size(), length - out.size()));  // doubling
  return out;
}

std::string randomValue(SearchRandom& random, std::size_t outputSize, int depth);

std::string randomString(SearchRandom& random, std::size_t outputSize) {
  switch (random.below(3)) {
    case 0:
      return quoted(kOddTexts[random.below(kOddTexts.size())]);
    case 1:
      return quoted(stretched("A", stringLength(random, outputSize)));
    default:
      return quoted(stretched(kOddTexts[random.below(kOddTexts.size())], stringLength(random, outputSize)));
  }
}

std::string randomArray(SearchRandom& random, std::size_t outputSize, int depth) {
  switch (random.below(4)) {
    case 0:
      return "[]";
    case 1: {
      const std::size_t levels[] = {2, 10, 100};
      std::size_t level = levels[random.below(3)];
      return std::string(level, '[') + std::string(level, ']');
    }
    default: {
      std::string out = "[";
      const std::size_t count = depth > 1 ? 0 : 1 + random.below(3);
      for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) out.push_back(',');
        out += randomValue(random, outputSize, depth + 1);
      }
      return out + "]";
    }
  }
}

std::string randomValue(SearchRandom& random, std::size_t outputSize, int depth) {
  std::size_t pick = random.below(20);
  if (pick < 6) return std::string(kNumbers[random.below(kNumbers.size())]);
  if (pick < 14) return randomString(random, outputSize);
  if (pick < 16) return random.below(2) != 0 ? "true" : "false";
  if (pick < 17) return "nil";
  return randomArray(random, outputSize, depth);
}

// A variant of a function text. Quotes only in the function form, where a replay keeps them.
std::string functionVariant(const std::string& function, const std::vector<std::string>& functions,
                            bool quotes, SearchRandom& random, std::size_t outputSize) {
  switch (random.below(9)) {
    case 0:
      return "";
    case 1:
      return functions.empty() ? function : functions[random.below(functions.size())];
    case 2:
      return function.substr(0, function.empty() ? 0 : random.below(function.size()));
    case 3: {
      std::string upper = function;
      for (char& c : upper) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
      return upper;
    }
    case 4:
      return random.below(2) != 0 ? " " + function : function + " ";
    case 5:
      return stretched(function, stringLength(random, outputSize));
    case 6: {
      std::string_view odd = kOddTexts[random.below(kOddTexts.size())];
      if (!quotes && odd.find('"') != std::string_view::npos) odd = "\xC3\xA9";
      return function + std::string(odd);
    }
    case 7:
      return function + ":" + std::string(kNumbers[random.below(kNumbers.size())]);
    default:
      return function + static_cast<char>('a' + random.below(26));
  }
}

}  // namespace

std::uint64_t SearchRandom::next() {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::string argumentLiteral(const SearchCall& call) {
  std::string out = "[";
  for (std::size_t i = 0; i < call.items.size(); ++i) {
    if (i > 0) out.push_back(',');
    out += call.items[i];
  }
  return out + "]";
}

std::string callCommandLine(const SearchCall& call) {
  std::string line = quoted(call.extension) + " invokeModule ";
  if (!call.argumentForm) return line + quoted(call.function);
  return line + "[" + quoted(call.function) + ", " + argumentLiteral(call) + "]";
}

std::vector<std::string> literalItems(std::string_view literal) {
  std::vector<std::string> items;
  int depth = 0;
  bool inString = false;
  std::size_t start = 1;
  for (std::size_t i = 1; i < literal.size(); ++i) {
    char c = literal[i];
    if (inString) {
      if (c == '"' && i + 1 < literal.size() && literal[i + 1] == '"') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[') {
      ++depth;
    } else if (c == ']' && depth > 0) {
      --depth;
    } else if ((c == ',' || c == ']') && depth == 0) {
      std::string_view item = trimmed(literal.substr(start, i - start));
      if (!item.empty()) items.emplace_back(item);
      start = i + 1;
      if (c == ']') break;
    }
  }
  return items;
}

bool readSeedCall(std::string_view line, SearchCall* call) {
  CommandMatch match;
  if (matchArgumentCall(line, &match)) {
    call->argumentForm = true;
    call->items = literalItems(match.array);
  } else if (matchFunctionCall(line, &match)) {
    call->argumentForm = false;
    call->items.clear();
  } else {
    return false;
  }
  call->extension = unquoteString(match.extension);
  call->function = unquoteString(match.function);
  return true;
}

SearchCall mutateCall(const SearchCall& seed, const std::vector<std::string>& functions, SearchRandom& random,
                      std::size_t outputSize) {
  SearchCall call = seed;
  const std::size_t changes = 1 + random.below(3);
  for (std::size_t change = 0; change < changes; ++change) {
    std::vector<std::string>& items = call.items;
    std::size_t op = call.argumentForm ? random.below(10) : 9;
    std::size_t at = items.empty() ? 0 : random.below(items.size());
    if (items.empty() && op <= 7) op = 2;  // nothing to change: add one
    switch (op) {
      case 0:
      case 1:
        items[at] = randomValue(random, outputSize, 0);
        break;
      case 2:
        items.insert(items.begin() + static_cast<std::ptrdiff_t>(random.below(items.size() + 1)),
                     randomValue(random, outputSize, 0));
        break;
      case 3:
        items.erase(items.begin() + static_cast<std::ptrdiff_t>(at));
        break;
      case 4: {
        std::string copy = items[at];
        items.insert(items.begin() + static_cast<std::ptrdiff_t>(at), std::move(copy));
        break;
      }
      case 5:
        if (random.below(4) == 0) {
          items.clear();
        } else {
          items.resize(random.below(items.size() + 1));
        }
        break;
      case 6: {  // a string stretched or cut, or its text made odd
        std::string text = isStringItem(items[at]) ? stringContent(items[at]) : items[at];
        if (random.below(2) != 0) {
          text = stretched(text, stringLength(random, outputSize));
        } else {
          text += kOddTexts[random.below(kOddTexts.size())];
        }
        items[at] = quoted(text);
        break;
      }
      case 7:
        items[at] = random.below(2) != 0 ? "[" + items[at] + "]" : randomArray(random, outputSize, 0);
        break;
      default:
        call.function = functionVariant(call.function, functions, !call.argumentForm, random, outputSize);
        if (call.argumentForm) std::erase(call.function, '"');
        // A lone quote would stand as four quotes, which a command reads as the empty text.
        if (call.function == "\"") call.function = "\"\"";
        break;
    }
  }
  return call;
}

std::vector<SearchCall> smallerCalls(const SearchCall& call) {
  std::vector<SearchCall> smaller;
  auto add = [&](SearchCall candidate) {
    if (!(candidate == call)) smaller.push_back(std::move(candidate));
  };
  for (std::size_t i = call.items.size(); i-- > 0;) {
    SearchCall fewer = call;
    fewer.items.erase(fewer.items.begin() + static_cast<std::ptrdiff_t>(i));
    add(std::move(fewer));
  }
  // Shorter texts: halved, by a quarter, by one byte.
  auto shorter = [](std::size_t length) {
    std::vector<std::size_t> lengths = {length / 2, length - length / 4, length - 1};
    lengths.erase(std::unique(lengths.begin(), lengths.end()), lengths.end());
    return lengths;
  };
  for (std::size_t i = 0; i < call.items.size(); ++i) {
    if (!isStringItem(call.items[i])) continue;
    std::string text = stringContent(call.items[i]);
    if (text.empty()) continue;
    for (std::size_t length : shorter(text.size())) {
      SearchCall cut = call;
      cut.items[i] = quoted(text.substr(0, length));
      add(std::move(cut));
    }
  }
  if (!call.function.empty()) {
    for (std::size_t length : shorter(call.function.size())) {
      SearchCall cut = call;
      cut.function.resize(length);
      add(std::move(cut));
    }
  }
  for (std::size_t i = 0; i < call.items.size(); ++i) {
    const std::string& item = call.items[i];
    std::vector<std::string> simpler;
    if (item.front() == '[') {
      simpler.emplace_back("[]");
      std::vector<std::string> inner = literalItems(item);
      if (!inner.empty()) simpler.push_back(inner.front());
    } else if (!isStringItem(item) && item != "0" && item != "nil") {
      simpler.emplace_back("0");
    }
    for (std::string& replacement : simpler) {
      SearchCall plain = call;
      plain.items[i] = std::move(replacement);
      add(std::move(plain));
    }
  }
  return smaller;
}
