// Test-mode transcripts: making a run's output stable, matching it against an expected file
// with `{{*}}` wildcard lines, the unified diff of the two, and the rewritten expected file.
#ifndef INVOKEMODULE_TESTMODE_TRANSCRIPT_H_
#define INVOKEMODULE_TESTMODE_TRANSCRIPT_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

using Lines = std::vector<std::string>;

// The lines of `text`: each ends at "\n" or "\r\n" (the line end is not kept); a last line
// without a line end is a line too.
Lines splitLines(std::string_view text);

// The start line of a transcript, `execVM "<script>";`, with the script's folders left out:
// the same suite gives the same transcript whatever folder it is run from and however its
// path is spelled. Any other line is answered as it is.
std::string stableStartLine(std::string_view line);

// The lines of a run's output with what changes from run to run replaced: execution times and
// the running time of an abandoned call by `<time>`, the callback address by `<address>`, a
// pause's progress by its last figure.
Lines stabiliseTranscript(std::string_view output);

// Whether an expected line matches an actual one: equal, where each `{{*}}` in the expected
// line stands for any text (empty too) within the line.
bool lineMatches(std::string_view expected, std::string_view actual);

struct DiffStep {
  enum Kind { Same, Removed, Added } kind;
  std::size_t expectedIndex;  // the expected line (Same, Removed)
  std::size_t actualIndex;    // the actual line (Same, Added)
};

// An edit script from the expected lines to the actual ones, short (minimal unless the two
// differ in thousands of places), in order. Lines count as the same by lineMatches.
std::vector<DiffStep> diffLines(const Lines& expected, const Lines& actual);

bool allSame(const std::vector<DiffStep>& steps);

// The unified diff (three lines of context) of a non-empty edit script; "" when all the same.
std::string unifiedDiff(const std::vector<DiffStep>& steps, const Lines& expected, const Lines& actual,
                        std::string_view expectedName, std::string_view actualName);

// The expected file rewritten from the actual lines: a line of the old file that matched its
// actual line is kept as it was (so a `{{*}}` line that still matches stays), every other line
// is the actual one. Each line ends with `lineEnd`.
std::string updatedExpected(const std::vector<DiffStep>& steps, const Lines& expected, const Lines& actual,
                            std::string_view lineEnd);

// "\r\n" when the text's first line ends so, else "\n".
std::string_view lineEndOf(std::string_view text);

// Where the expected transcript of a script is looked for, in order: beside the script, named
// after it without its `.sqf`, first for the platform (`linux`, `win32`, `win64`), then for all.
std::vector<std::string> expectedFileCandidates(std::string_view scriptPath, std::string_view platformTag);

#endif  // INVOKEMODULE_TESTMODE_TRANSCRIPT_H_
