// The JUnit XML report: escaping that keeps it well-formed whatever bytes a script printed.
#include "testmode/junit_report.h"

#include <cstdint>
#include <cstdio>

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the UTF-8 sequence at the start of `text` if it encodes a character XML 1.0
// allows (not a surrogate, not U+FFFE or U+FFFF, at most U+10FFFF, shortest form), else 0.
std::size_t validSequenceLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(0);
  std::size_t length;
  std::uint32_t code;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3Fu);
  }
  const bool shortest = (length == 3 && code >= 0x800) || (length == 4 && code >= 0x10000) || length == 2;
  const bool allowed =
      code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF) && code != 0xFFFE && code != 0xFFFF;
  return shortest && allowed ? length : 0;
}

std::string seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

}  // namespace

std::string xmlEscaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      std::size_t length = validSequenceLength(text.substr(i));
      if (length == 0) {
        out.append(kReplacement);
        ++i;
      } else {
        out.append(text.substr(i, length));
        i += length;
      }
      continue;
    }
    switch (c) {
      case '&':
        out.append("&amp;");
        break;
      case '<':
        out.append("&lt;");
        break;
      case '>':
        out.append("&gt;");
        break;
      case '"':
        out.append("&quot;");
        break;
      case '\r':
        out.append("&#13;");
        break;
      case '\n':
      case '\t':
        out.push_back(static_cast<char>(c));
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\x%02X", c);
          out.append(escape);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
    ++i;
  }
  return out;
}

std::string junitReport(const std::vector<ScriptOutcome>& outcomes) {
  std::size_t failures = 0;
  double total = 0;
  for (const ScriptOutcome& outcome : outcomes) {
    if (!outcome.passed) ++failures;
    total += outcome.seconds;
  }
  const std::string counts = " tests=\"" + std::to_string(outcomes.size()) + "\" failures=\"" +
                             std::to_string(failures) + "\" errors=\"0\" time=\"" + seconds(total) + "\"";
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites" + counts +
                    ">\n  <testsuite name=\"invokemodule\"" + counts + ">\n";
  for (const ScriptOutcome& outcome : outcomes) {
    xml += "    <testcase classname=\"invokemodule\" name=\"" + xmlEscaped(outcome.path) + "\" time=\"" +
           seconds(outcome.seconds) + "\"";
    if (outcome.passed) {
      xml += "/>\n";
      continue;
    }
    xml += ">\n      <failure message=\"" + xmlEscaped(outcome.failure) + "\">" +
           xmlEscaped(outcome.details) + "</failure>\n    </testcase>\n";
  }
  xml += "  </testsuite>\n</testsuites>\n";
  return xml;
}
