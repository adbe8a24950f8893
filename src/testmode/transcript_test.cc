// Transcripts: stabilising, wildcard lines, the diff against a brute-force oracle, the unified
// diff text, the rewritten expected file and where it is looked for.
#include "testmode/transcript.h"

#include <gtest/gtest.h>

#include <random>

namespace {

std::string joined(const Lines& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "|";
  return text;
}

TEST(Transcript, SplitsAndStabilises) {
  struct Row {
    std::string output;
    std::string lines;  // the stabilised lines, each followed by "|"
  };
  const Row rows[] = {
      {"", ""},
      {"a\nb", "a|b|"},           // a last line without its end is a line
      {"a\r\nb\r\n\n", "a|b||"},  // CRLF and LF alike; an empty line stays
      {"a\rb\n", "a\rb|"},        // a lone CR inside a line is text
      {"Execution time: 0.001234 ms\n", "Execution time: <time> ms|"},
      {"Execution time: 12345.000000 ms\r\n", "Execution time: <time> ms|"},
      {"Execution time: soon\n", "Execution time: soon|"},
      {"x Execution time: 1.0 ms\n", "x Execution time: 1.0 ms|"},
      {"Callback registered: 00007F12AB34CD56\n", "Callback registered: <address>|"},
      {"\r1%\r2%\r57%\r100%\nExecution time: 500.1 ms\n", "100%|Execution time: <time> ms|"},
      {"\r100%\n", "100%|"},
      {"\r3%\n", "3%|"},              // an interrupted pause keeps its last figure
      {"\r1%\rab%\n", "\r1%\rab%|"},  // not progress: left as it is
      {"\r1%x\n", "\r1%x|"},
      {"50%\n", "50%|"},
      // Frames keep the library, the symbol and their order, not the offsets a rebuild moves.
      {"  at crashy_x64.so+0x8e01\n", "  at crashy_x64.so+<offset>|"},
      {"  at crashy.dll+0x2d3b1 (_RVExtension@12+0x15)\n",
       "  at crashy.dll+<offset> (_RVExtension@12+<offset>)|"},
      {"  at a+0x (b+0xg)\n", "  at a+0x (b+0xg)|"},  // no hex digits: kept
      // Functions kept; source lines and the source file's folders dropped.
      {"  at a.so+0x1a in f(int) /home/me/src/f.cc:44 (inlined)\n",
       "  at a.so+<offset> in f(int) f.cc:<line> (inlined)|"},
      {"  at a.dll+0x1a in g() C:\\ext\\g.cpp:7\n", "  at a.dll+<offset> in g() g.cpp:<line>|"},
      {"  at a.so+0x1a in h(std::pair<int, int>) h.cc:0\n",
       "  at a.so+<offset> in h(std::pair<int, int>) h.cc:<line>|"},
      {"  at a.so+0x1a in f(int) [clone .isra.0] [clone .cold] f.cc:3\n",
       "  at a.so+<offset> in f(int) f.cc:<line>|"},
      {"  at a.so+0x1a in main+0x1c\n", "  at a.so+<offset> in main+<offset>|"},
      {"  at a.so+0x1a in f(int) :12\n", "  at a.so+<offset> in f(int) :<line>|"},
      {"  ... the frame above repeats 30816 more times\n",
       "  ... the frame above repeats <count> more times|"},
      {"  ... the 2 frames above repeat 1 more time\n",
       "  ... the 2 frames above repeat <count> more times|"},
      {"  called from /tmp/suite/t/a.sqf:3\n", "  called from a.sqf:3|"},
      {"  called from C:\\t\\a.sqf:12\n", "  called from a.sqf:12|"},
      {"ERROR: Extension crashed: x at address 0x10\n", "ERROR: Extension crashed: x at address 0x10|"},
      // An abandoned call's running time; the site's own text is kept, whatever it holds.
      {"ERROR: Call abandoned: RVExtension(\"wait\") was still running after 2005 ms\n",
       "ERROR: Call abandoned: RVExtension(\"wait\") was still running after <time> ms|"},
      {"ERROR: Call abandoned: RVExtension(\"after 5 ms\") was still running after 12 ms\n",
       "ERROR: Call abandoned: RVExtension(\"after 5 ms\") was still running after <time> ms|"},
      {"ERROR: Call abandoned: RVExtension(\"x\") was still running after ms\n",
       "ERROR: Call abandoned: RVExtension(\"x\") was still running after ms|"},
      {"ERROR: Call abandoned: RVExtension(\"x\") was still running after 5 ms.\n",
       "ERROR: Call abandoned: RVExtension(\"x\") was still running after 5 ms.|"},
      {"Call abandoned: RVExtension(\"x\") was still running after 5 ms\n",
       "Call abandoned: RVExtension(\"x\") was still running after 5 ms|"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(joined(stabiliseTranscript(row.output)), row.lines) << row.output;
  }
}

TEST(Transcript, StartLineLeavesTheFoldersOut) {
  const struct {
    const char* line;
    const char* stable;
  } rows[] = {
      {"execVM \"examples/tests/answers.sqf\";", "execVM \"answers.sqf\";"},
      {"execVM \"/abs/path/t/a.sqf\";", "execVM \"a.sqf\";"},
      {"execVM \"./a.sqf\";", "execVM \"a.sqf\";"},
      {"execVM \"C:\\suite\\a.sqf\";", "execVM \"a.sqf\";"},
      {"execVM \"a.sqf\";", "execVM \"a.sqf\";"},
      {"execVM \"a.sqf\"", "execVM \"a.sqf\""},  // not the start line's form: as it is
      {"Script #1 started", "Script #1 started"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.stable, stableStartLine(row.line)) << row.line;
}

TEST(Transcript, WildcardLines) {
  struct Row {
    const char* expected;
    const char* actual;
    bool matches;
  };
  const Row rows[] = {
      {"abc", "abc", true},
      {"abc", "abd", false},
      {"abc", "abcd", false},
      {"", "", true},
      {"{{*}}", "", true},
      {"{{*}}", "anything at all", true},
      {"\"id-{{*}}\"", "\"id-42\"", true},
      {"\"id-{{*}}\"", "\"id-42", false},
      {"\"id-{{*}}\"", "id-42\"", false},
      {"a{{*}}b{{*}}c", "a--b--c", true},
      {"a{{*}}b{{*}}c", "abc", true},
      {"a{{*}}b{{*}}c", "acb", false},
      {"a{{*}}bc", "abcbc", true},  // the last part ends the line, wherever it also appears
      {"ab{{*}}ba", "aba", false},  // head and tail may not share a byte
      {"{{*}}x{{*}}", "yyy", false},
      {"{{*}", "{{*}", true},  // not a wildcard: plain text
      {"{{*}", "x", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(lineMatches(row.expected, row.actual), row.matches) << row.expected << " vs " << row.actual;
  }
}

// The shortest edit between two line lists by brute force: lines of the longest common
// subsequence under lineMatches.
std::size_t longestCommon(const Lines& a, const Lines& b) {
  std::vector<std::vector<std::size_t>> table(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = a.size(); i-- > 0;) {
    for (std::size_t j = b.size(); j-- > 0;) {
      table[i][j] =
          lineMatches(a[i], b[j]) ? table[i + 1][j + 1] + 1 : std::max(table[i + 1][j], table[i][j + 1]);
    }
  }
  return table[0][0];
}

// Replays the steps: each list must come out whole and in order, matching lines paired.
void expectValidAndMinimal(const Lines& expected, const Lines& actual) {
  std::vector<DiffStep> steps = diffLines(expected, actual);
  std::size_t e = 0;
  std::size_t a = 0;
  std::size_t same = 0;
  for (const DiffStep& step : steps) {
    if (step.kind != DiffStep::Added) {
      ASSERT_EQ(step.expectedIndex, e++);
    }
    if (step.kind != DiffStep::Removed) {
      ASSERT_EQ(step.actualIndex, a++);
    }
    if (step.kind == DiffStep::Same) {
      ASSERT_TRUE(lineMatches(expected[step.expectedIndex], actual[step.actualIndex]));
      ++same;
    }
  }
  ASSERT_EQ(e, expected.size());
  ASSERT_EQ(a, actual.size());
  ASSERT_EQ(same, longestCommon(expected, actual));
}

TEST(Transcript, DiffIsAValidShortestEdit) {
  std::mt19937 random(7);
  const char* alphabet[] = {"a", "b", "c", "", "{{*}}", "x{{*}}"};
  for (int round = 0; round < 400; ++round) {
    Lines expected(random() % 9);
    Lines actual(random() % 9);
    for (std::string& line : expected) line = alphabet[random() % 6];
    for (std::string& line : actual) line = alphabet[random() % 4];
    expectValidAndMinimal(expected, actual);
  }
}

TEST(Transcript, HugeDifferencesStillGiveAValidEdit) {
  Lines expected;
  Lines actual;
  for (int i = 0; i < 3000; ++i) {
    expected.push_back(std::to_string(i).insert(0, 1, 'e'));
    actual.push_back(std::to_string(i).insert(0, 1, 'a'));
  }
  actual[1500] = expected[1500] = "shared";
  std::vector<DiffStep> steps = diffLines(expected, actual);
  std::size_t removed = 0;
  std::size_t added = 0;
  for (const DiffStep& step : steps) {
    removed += step.kind == DiffStep::Removed;
    added += step.kind == DiffStep::Added;
  }
  EXPECT_GE(removed, 2999u);
  EXPECT_GE(added, 2999u);
  EXPECT_EQ(updatedExpected(steps, expected, actual, "\n").size(),
            updatedExpected(diffLines({}, actual), {}, actual, "\n").size());
}

TEST(Transcript, UnifiedDiffText) {
  struct Row {
    std::string expected;
    std::string actual;
    std::string diff;
  };
  const std::string ten = "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n";
  const Row rows[] = {
      {"a\n", "a\n", ""},
      {"{{*}}\n", "a\n", ""},
      {"", "a\nb\n", "--- E\n+++ A\n@@ -0,0 +1,2 @@\n+a\n+b\n"},
      {"a\n", "", "--- E\n+++ A\n@@ -1 +0,0 @@\n-a\n"},
      {ten, "1\n2\n3\n4\nfive\n6\n7\n8\n9\n10\n",
       "--- E\n+++ A\n@@ -2,7 +2,7 @@\n 2\n 3\n 4\n-5\n+five\n 6\n 7\n 8\n"},
      // Changes six lines apart share a hunk; seven apart make two.
      {ten, "one\n2\n3\n4\n5\n6\n7\neight\n9\n10\n",
       "--- E\n+++ A\n@@ -1,10 +1,10 @@\n-1\n+one\n 2\n 3\n 4\n 5\n 6\n 7\n-8\n+eight\n 9\n 10\n"},
      {ten + "11\n", "one\n2\n3\n4\n5\n6\n7\n8\nnine\n10\n11\n",
       "--- E\n+++ A\n@@ -1,4 +1,4 @@\n-1\n+one\n 2\n 3\n 4\n@@ -6,6 +6,6 @@\n 6\n 7\n 8\n-9\n+nine\n 10\n "
       "11\n"},
      {"a\r\nb\r\n", "a\nc\n", "--- E\n+++ A\n@@ -1,2 +1,2 @@\n a\n-b\n+c\n"},
  };
  for (const Row& row : rows) {
    Lines expected = splitLines(row.expected);
    Lines actual = splitLines(row.actual);
    EXPECT_EQ(unifiedDiff(diffLines(expected, actual), expected, actual, "E", "A"), row.diff)
        << row.expected << "---\n"
        << row.actual;
  }
}

TEST(Transcript, UpdateKeepsWildcardLinesThatStillMatch) {
  struct Row {
    std::string old;
    std::string actual;
    std::string written;
  };
  const Row rows[] = {
      {"", "a\nb\n", "a\nb\n"},
      {"id {{*}}\nx\n", "id 42\ny\n", "id {{*}}\ny\n"},
      {"id {{*}}\nx\n", "name 42\nx\n", "name 42\nx\n"},         // no longer matching: replaced
      {"a\r\n{{*}}\r\n", "a\r\nb\nc\n", "a\r\n{{*}}\r\nc\r\n"},  // the old line ends kept
      {"a\nb\n", "", ""},
  };
  for (const Row& row : rows) {
    Lines old = splitLines(row.old);
    Lines actual = splitLines(row.actual);
    EXPECT_EQ(updatedExpected(diffLines(old, actual), old, actual, lineEndOf(row.old)), row.written)
        << row.old;
  }
}

TEST(Transcript, ExpectedFileCandidates) {
  struct Row {
    const char* script;
    const char* tag;
    std::vector<std::string> candidates;
  };
  const Row rows[] = {
      {"t/a.sqf", "linux", {"t/a.linux.expected", "t/a.expected"}},
      {"t/a.SQF", "win32", {"t/a.win32.expected", "t/a.expected"}},
      {"b.txt", "win64", {"b.txt.win64.expected", "b.txt.expected"}},
      {".sqf", "linux", {".sqf.linux.expected", ".sqf.expected"}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(expectedFileCandidates(row.script, row.tag), row.candidates) << row.script;
  }
}

}  // namespace
