// Decoding the engine's bytes into calls, and the seeds and dictionary it starts from.
#include "fuzzmode/guided_calls.h"

#include <cstdio>
#include <set>
#include <string_view>

namespace {

std::string cleanText(std::string_view bytes, bool dropQuotes) {
  std::string text;
  for (char c : bytes) {
    if (c == '\0' || c == '\n' || c == '\r' || (dropQuotes && c == '"')) continue;
    text += c;
  }
  return text;
}

std::string quoted(std::string_view text) {
  std::string item = "\"";
  for (char c : text) {
    item += c;
    if (c == '"') item += '"';
  }
  return item + "\"";
}

std::string unquoted(std::string_view item) {
  std::string text;
  for (std::size_t at = 1; at + 1 < item.size(); ++at) {
    text += item[at];
    if (item[at] == '"') ++at;
  }
  return text;
}

std::string decodeItem(std::string_view field) {
  const char kind = field.empty() ? 's' : field[0];
  const std::string_view rest = field.empty() ? field : field.substr(1);
  switch (kind) {
    case 'n': {
      std::string digits = !rest.empty() && rest[0] == '-' ? "-" : "";
      for (char c : rest) {
        if (c >= '0' && c <= '9' && digits.size() < 20) digits += c;
      }
      return digits.empty() || digits == "-" ? "0" : digits;
    }
    case 'b':
      return rest == "true" ? "true" : "false";
    case 'z':
      return "nil";
    case 's':
      return quoted(cleanText(rest, false));
    default:
      return quoted(cleanText(field, false));
  }
}

// The dictionary's escaping: printable ASCII but quotes and backslashes as they are, the rest
// as \xNN.
std::string dictionaryWord(std::string_view text) {
  std::string word = "\"";
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
      word += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      word += escaped;
    }
  }
  return word + "\"";
}

}  // namespace

SearchCall decodeGuidedCall(const std::uint8_t* data, std::size_t size, const std::vector<SearchCall>& seeds,
                            const std::vector<std::string>& functions, std::size_t outputSize) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  SearchCall call = seeds[size > 0 ? data[0] % seeds.size() : 0];
  const unsigned mode = size > 1 ? data[1] : 0;
  std::vector<std::string_view> fields;
  for (std::size_t at = 2; at < size;) {
    std::size_t end = bytes.find('\0', at);
    if (end == std::string_view::npos) end = size;
    fields.push_back(bytes.substr(at, end - at));
    at = end + 1;
  }
  std::size_t next = 0;
  if ((mode & 1) != 0 && next < fields.size()) call.function = cleanText(fields[next++], call.argumentForm);
  if (call.argumentForm && next < fields.size()) {
    call.items.clear();
    for (; next < fields.size(); ++next) call.items.push_back(decodeItem(fields[next]));
  }
  if ((mode & 2) != 0) {
    std::uint64_t hash = 1469598103934665603ull;  // FNV-1a of the bytes: the generator's seed
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
    SearchRandom random(hash);
    call = mutateCall(call, functions, random, outputSize);
  }
  return call;
}

std::string encodeGuidedSeed(std::size_t index, const SearchCall& seed) {
  std::string bytes;
  bytes += static_cast<char>(index & 0xff);
  bytes += '\0';
  for (const std::string& item : seed.items) {
    bytes += '\0';
    if (item.size() >= 2 && item.front() == '"') {
      bytes.append("s").append(unquoted(item));
    } else if (item == "true" || item == "false") {
      bytes.append("b").append(item);
    } else if (!item.empty() && (item[0] == '-' || (item[0] >= '0' && item[0] <= '9'))) {
      bytes.append("n").append(item);
    } else {
      bytes += "z";
    }
  }
  if (!seed.items.empty()) bytes.erase(2, 1);  // fields follow the mode byte without a separator
  return bytes;
}

std::string guidedDictionary(const std::vector<SearchCall>& seeds) {
  std::set<std::string> words;
  for (const SearchCall& seed : seeds) {
    if (!seed.function.empty()) words.insert(seed.function);
    for (const std::string& item : seed.items) {
      if (item.size() > 2 && item.front() == '"') words.insert(unquoted(item));
    }
  }
  std::string dictionary;
  for (const std::string& word : words) dictionary += dictionaryWord(word) + "\n";
  return dictionary;
}
