// Test-mode transcripts: stabilising, wildcard matching, the line diff and the updated file.
#include "testmode/transcript.h"

#include <cctype>

#include <algorithm>

namespace {

constexpr std::string_view kWildcard = "{{*}}";
constexpr std::string_view kTimePrefix = "Execution time: ";
constexpr std::string_view kTimeSuffix = " ms";
constexpr std::string_view kCallbackPrefix = "Callback registered: ";
constexpr std::string_view kFramePrefix = "  at ";
constexpr std::string_view kCalledFromPrefix = "  called from ";
constexpr std::string_view kRepeatPrefix = "  ... the ";
constexpr std::string_view kAbandonPrefix = "ERROR: Call abandoned: ";
constexpr std::string_view kAbandonTime = " was still running after ";

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A pause's progress as a redirected run prints it: one or more "\r<digits>%" figures on one
// line. Returns the last figure, or an empty view when the line is something else.
std::string_view lastProgressFigure(std::string_view line) {
  std::string_view last;
  std::size_t pos = 0;
  while (pos < line.size()) {
    if (line[pos] != '\r') return {};
    std::size_t start = ++pos;
    while (pos < line.size() && isDigit(line[pos])) ++pos;
    if (pos == start || pos == line.size() || line[pos] != '%') return {};
    last = line.substr(start, ++pos - start);
  }
  return last;
}

// Whether an expected line with wildcards matches `actual`: the part before the first wildcard
// starts it, the part after the last ends it, each part between at its first place left to right.
bool wildcardMatch(std::string_view pattern, std::string_view actual) {
  std::size_t star = pattern.find(kWildcard);
  if (star == std::string_view::npos) return pattern == actual;
  std::string_view head = pattern.substr(0, star);
  if (actual.substr(0, head.size()) != head) return false;
  actual.remove_prefix(head.size());
  pattern.remove_prefix(star + kWildcard.size());
  for (;;) {
    star = pattern.find(kWildcard);
    if (star == std::string_view::npos) {
      // The last part must end the line.
      return actual.size() >= pattern.size() && actual.substr(actual.size() - pattern.size()) == pattern;
    }
    std::string_view part = pattern.substr(0, star);
    std::size_t found = actual.find(part);
    if (found == std::string_view::npos) return false;
    actual.remove_prefix(found + part.size());
    pattern.remove_prefix(star + kWildcard.size());
  }
}

// The edit script of the lines between the common head and tail by Myers' greedy algorithm.
// The furthest reach on each diagonal is kept per step d for the diagonals -d..d; beyond
// `kMaxTrace` kept entries (some 1400 differences) it gives up on being minimal: all removed,
// then all added.
void middleDiff(const Lines& expected, const Lines& actual, std::size_t e0, std::size_t e1, std::size_t a0,
                std::size_t a1, std::vector<DiffStep>& out) {
  constexpr std::size_t kMaxTrace = std::size_t{2} << 20;
  const long n = static_cast<long>(e1 - e0);
  const long m = static_cast<long>(a1 - a0);
  const long max = n + m;
  if (max == 0) return;
  const std::size_t width = static_cast<std::size_t>(2 * max + 1);
  std::vector<long> v(width, 0);
  std::vector<std::vector<long>> trace;  // trace[d][k + d]: v[k] before step d
  std::size_t kept = 0;
  long found = -1;
  for (long d = 0; d <= max && found < 0; ++d) {
    kept += static_cast<std::size_t>(2 * d + 1);
    if (kept > kMaxTrace) break;
    trace.emplace_back(v.begin() + (max - d), v.begin() + (max + d + 1));
    for (long k = -d; k <= d; k += 2) {
      long x = (k == -d || (k != d && v[k - 1 + max] < v[k + 1 + max])) ? v[k + 1 + max] : v[k - 1 + max] + 1;
      long y = x - k;
      while (
          x < n && y < m &&
          lineMatches(expected[e0 + static_cast<std::size_t>(x)], actual[a0 + static_cast<std::size_t>(y)])) {
        ++x;
        ++y;
      }
      v[k + max] = x;
      if (x >= n && y >= m) {
        found = d;
        break;
      }
    }
  }
  if (found < 0) {
    for (std::size_t i = e0; i < e1; ++i) out.push_back({DiffStep::Removed, i, a0});
    for (std::size_t j = a0; j < a1; ++j) out.push_back({DiffStep::Added, e1, j});
    return;
  }
  std::vector<DiffStep> backwards;
  long x = n;
  long y = m;
  for (long d = found; d >= 0; --d) {
    const std::vector<long>& before = trace[static_cast<std::size_t>(d)];
    long k = x - y;
    long previousK = (k == -d || (k != d && before[k - 1 + d] < before[k + 1 + d])) ? k + 1 : k - 1;
    long previousX = d == 0 ? 0 : before[previousK + d];
    long previousY = d == 0 ? 0 : previousX - previousK;
    while (x > previousX && y > previousY) {
      --x;
      --y;
      backwards.push_back(
          {DiffStep::Same, e0 + static_cast<std::size_t>(x), a0 + static_cast<std::size_t>(y)});
    }
    if (d > 0) {
      if (x == previousX) {
        backwards.push_back(
            {DiffStep::Added, e0 + static_cast<std::size_t>(x), a0 + static_cast<std::size_t>(previousY)});
      } else {
        backwards.push_back(
            {DiffStep::Removed, e0 + static_cast<std::size_t>(previousX), a0 + static_cast<std::size_t>(y)});
      }
    }
    x = previousX;
    y = previousY;
  }
  out.insert(out.end(), backwards.rbegin(), backwards.rend());
}

// "@@ -start,count +start,count @@" as diff writes it: a count of 1 left out, and a range of
// no lines starting at the line before it.
std::string hunkRange(std::size_t first, std::size_t count) {
  std::string text = std::to_string(count == 0 ? first : first + 1);
  if (count != 1) text.append(",").append(std::to_string(count));
  return text;
}

}  // namespace

Lines splitLines(std::string_view text) {
  Lines lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t newline = text.find('\n', pos);
    std::size_t end = newline == std::string_view::npos ? text.size() : newline;
    std::size_t cut =
        (newline != std::string_view::npos && end > pos && text[end - 1] == '\r') ? end - 1 : end;
    lines.emplace_back(text.substr(pos, cut - pos));
    if (newline == std::string_view::npos) break;
    pos = newline + 1;
  }
  return lines;
}

namespace {

// A crash report's frame line with each "+0x<hex>" offset as "+<offset>", and its source place
// as the file's name and "<line>": a rebuild or a checkout elsewhere keeps the library, the
// functions and the order of the frames, not their offsets, lines or folders.
std::string stableFrameLine(std::string_view line) {
  std::string stable;
  std::size_t at = 0;
  for (std::size_t plus; (plus = line.find("+0x", at)) != std::string_view::npos;) {
    std::size_t end = plus + 3;
    while (end < line.size() && std::isxdigit(static_cast<unsigned char>(line[end]))) ++end;
    stable.append(line.substr(at, plus - at));
    stable.append(end > plus + 3 ? "+<offset>" : "+0x");
    at = end;
  }
  stable.append(line.substr(at));
  // The copies the optimiser makes of a function, "f() [clone .isra.0]", come and go with it.
  for (std::size_t clone; (clone = stable.find(" [clone .")) != std::string::npos;) {
    std::size_t end = stable.find(']', clone);
    if (end == std::string::npos) break;
    stable.erase(clone, end + 1 - clone);
  }
  // The source place: the last word that ends in ":<digits>" (before " (inlined)").
  std::string_view view = stable;
  std::size_t placeEnd = view.ends_with(" (inlined)") ? view.size() - 10 : view.size();
  std::size_t digits = placeEnd;
  while (digits > 0 && std::isdigit(static_cast<unsigned char>(view[digits - 1]))) --digits;
  if (digits == placeEnd || digits == 0 || view[digits - 1] != ':') return stable;
  std::size_t placeStart = view.rfind(' ', digits - 1);
  if (placeStart == std::string_view::npos) return stable;
  std::string_view file = view.substr(placeStart + 1, digits - 1 - (placeStart + 1));
  std::size_t slash = file.find_last_of("/\\");
  if (slash != std::string_view::npos) file.remove_prefix(slash + 1);
  return std::string(view.substr(0, placeStart + 1)) + std::string(file) + ":<line>" +
         std::string(view.substr(placeEnd));
}

// A recursion's line with its count of rounds as "<count>": how deep a stack overflows varies.
std::string stableRepeatLine(std::string_view line) {
  std::size_t more = line.rfind(" more time");
  std::size_t repeat = line.rfind(" repeat", more);
  if (more == std::string_view::npos || repeat == std::string_view::npos) return std::string(line);
  std::size_t count = line.find(' ', repeat + 1);
  if (count == std::string_view::npos || count >= more) return std::string(line);
  return std::string(line.substr(0, count + 1)) + "<count> more times";
}

// The line of a call abandoned with its running time as `<time>`, or an empty text when the line
// does not end in " was still running after <digits> ms".
std::string stableAbandonLine(std::string_view line) {
  if (!line.ends_with(kTimeSuffix)) return {};
  std::size_t digits = line.size() - kTimeSuffix.size();
  const std::size_t end = digits;
  while (digits > 0 && isDigit(line[digits - 1])) --digits;
  if (digits == end || line.substr(0, digits).ends_with(kAbandonTime) == false) return {};
  return std::string(line.substr(0, digits)).append("<time>").append(kTimeSuffix);
}

// A "called from <script>:<line>" line of a crash report with the script's folders dropped.
std::string stableCalledFromLine(std::string_view line) {
  std::string_view place = line.substr(kCalledFromPrefix.size());
  std::size_t colon = place.rfind(':');
  std::size_t slash = place.substr(0, colon).find_last_of("/\\");
  if (slash != std::string_view::npos) place.remove_prefix(slash + 1);
  return std::string(kCalledFromPrefix).append(place);
}

}  // namespace

std::string stableStartLine(std::string_view line) {
  constexpr std::string_view kHead = "execVM \"";
  constexpr std::string_view kTail = "\";";
  if (!line.starts_with(kHead) || !line.ends_with(kTail) || line.size() < kHead.size() + kTail.size()) {
    return std::string(line);
  }
  std::string_view path = line.substr(kHead.size(), line.size() - kHead.size() - kTail.size());
  std::size_t slash = path.find_last_of("/\\");
  if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
  return std::string(kHead).append(path).append(kTail);
}

Lines stabiliseTranscript(std::string_view output) {
  Lines lines = splitLines(output);
  for (std::string& line : lines) {
    std::string_view view = line;
    if (view.starts_with(kTimePrefix) && view.ends_with(kTimeSuffix)) {
      line = std::string(kTimePrefix) + "<time>" + std::string(kTimeSuffix);
    } else if (view.starts_with(kCallbackPrefix)) {
      line = std::string(kCallbackPrefix) + "<address>";
    } else if (view.starts_with(kFramePrefix)) {
      line = stableFrameLine(view);
    } else if (view.starts_with(kRepeatPrefix)) {
      line = stableRepeatLine(view);
    } else if (view.starts_with(kCalledFromPrefix)) {
      line = stableCalledFromLine(view);
    } else if (std::string abandoned;
               view.starts_with(kAbandonPrefix) && !(abandoned = stableAbandonLine(view)).empty()) {
      line = std::move(abandoned);
    } else if (std::string_view figure = lastProgressFigure(view); !figure.empty()) {
      line = std::string(figure);
    }
  }
  return lines;
}

bool lineMatches(std::string_view expected, std::string_view actual) {
  return wildcardMatch(expected, actual);
}

std::vector<DiffStep> diffLines(const Lines& expected, const Lines& actual) {
  std::vector<DiffStep> steps;
  std::size_t head = 0;
  while (head < expected.size() && head < actual.size() && lineMatches(expected[head], actual[head])) {
    steps.push_back({DiffStep::Same, head, head});
    ++head;
  }
  std::size_t tail = 0;
  while (tail < expected.size() - head && tail < actual.size() - head &&
         lineMatches(expected[expected.size() - 1 - tail], actual[actual.size() - 1 - tail])) {
    ++tail;
  }
  middleDiff(expected, actual, head, expected.size() - tail, head, actual.size() - tail, steps);
  for (std::size_t i = tail; i > 0; --i) {
    steps.push_back({DiffStep::Same, expected.size() - i, actual.size() - i});
  }
  return steps;
}

bool allSame(const std::vector<DiffStep>& steps) {
  return std::all_of(steps.begin(), steps.end(),
                     [](const DiffStep& step) { return step.kind == DiffStep::Same; });
}

std::string unifiedDiff(const std::vector<DiffStep>& steps, const Lines& expected, const Lines& actual,
                        std::string_view expectedName, std::string_view actualName) {
  constexpr std::size_t kContext = 3;
  std::string text;
  std::size_t i = 0;
  while (i < steps.size()) {
    while (i < steps.size() && steps[i].kind == DiffStep::Same) ++i;
    if (i == steps.size()) break;
    // A hunk: kContext lines before its first change to kContext lines after its last; a
    // change that follows after no more than 2 * kContext unchanged lines joins the hunk.
    std::size_t begin = i > kContext ? i - kContext : 0;
    std::size_t last = i;
    for (std::size_t j = i + 1; j < steps.size();) {
      if (steps[j].kind != DiffStep::Same) {
        last = j++;
        continue;
      }
      std::size_t run = j;
      while (j < steps.size() && steps[j].kind == DiffStep::Same) ++j;
      if (j == steps.size() || j - run > 2 * kContext) break;
    }
    std::size_t end = std::min(steps.size(), last + 1 + kContext);
    std::size_t expectedCount = 0;
    std::size_t actualCount = 0;
    for (std::size_t s = begin; s < end; ++s) {
      if (steps[s].kind != DiffStep::Added) ++expectedCount;
      if (steps[s].kind != DiffStep::Removed) ++actualCount;
    }
    if (text.empty()) {
      text.append("--- ").append(expectedName).append("\n+++ ").append(actualName).append("\n");
    }
    text += "@@ -" + hunkRange(steps[begin].expectedIndex, expectedCount) + " +" +
            hunkRange(steps[begin].actualIndex, actualCount) + " @@\n";
    for (std::size_t s = begin; s < end; ++s) {
      const DiffStep& step = steps[s];
      if (step.kind == DiffStep::Added) {
        text.append("+").append(actual[step.actualIndex]).append("\n");
      } else {
        text.append(step.kind == DiffStep::Same ? " " : "-")
            .append(expected[step.expectedIndex])
            .append("\n");
      }
    }
    i = end;
  }
  return text;
}

std::string updatedExpected(const std::vector<DiffStep>& steps, const Lines& expected, const Lines& actual,
                            std::string_view lineEnd) {
  std::string text;
  for (const DiffStep& step : steps) {
    if (step.kind == DiffStep::Removed) continue;
    text.append(step.kind == DiffStep::Same ? expected[step.expectedIndex] : actual[step.actualIndex]);
    text.append(lineEnd);
  }
  return text;
}

std::string_view lineEndOf(std::string_view text) {
  std::size_t newline = text.find('\n');
  return newline != std::string_view::npos && newline > 0 && text[newline - 1] == '\r' ? "\r\n" : "\n";
}

std::vector<std::string> expectedFileCandidates(std::string_view scriptPath, std::string_view platformTag) {
  std::string stem(scriptPath);
  if (stem.size() > 4) {
    std::string extension = stem.substr(stem.size() - 4);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(c | 0x20); });
    if (extension == ".sqf") stem.resize(stem.size() - 4);
  }
  return {stem + "." + std::string(platformTag) + ".expected", stem + ".expected"};
}
