// The policy of the typed lines kept across sessions: which lines are kept, where the file
// lives, and when it is rewritten. The line editor's platform half does the file's I/O.
#ifndef INVOKEMODULE_SUPPORT_HISTORY_LINES_H_
#define INVOKEMODULE_SUPPORT_HISTORY_LINES_H_

#include <cstddef>
#include <string>
#include <vector>

namespace support {

// The newest kCap lines, without empty lines or a line the same as the one before; the file
// appended a line at a time and rewritten with the kept lines when it holds half as many again.
class HistoryLines {
 public:
  static constexpr std::size_t kCap = 1000;

  // Takes in the lines of the file's `contents` (a last line without '\n' is none). Answers
  // whether the file is to be rewritten.
  bool load(const std::string& contents);

  // A line entered: answers false, keeping nothing, when it is empty or the same as the last.
  bool add(const std::string& line);

  // A line add() kept goes to the file: answers whether the file is now rewritten instead of
  // the line appended.
  bool lineForFile() { return ++fileLines_ > kRewriteAt; }

  // The file's text for a rewrite, and the note that it was written.
  std::string fileText() const;
  void rewritten() { fileLines_ = kept_.size(); }

  const std::vector<std::string>& lines() const { return kept_; }

 private:
  static constexpr std::size_t kRewriteAt = kCap + kCap / 2;

  std::size_t fileLines_ = 0;
  std::vector<std::string> kept_;
};

// Where the history file lives: $XDG_STATE_HOME/invokemodule/history, or
// $HOME/.local/state/invokemodule/history when that is unset or not an absolute path. Each of
// `folders` is made in turn where missing; only the last one must exist for history to be kept.
struct HistoryPlace {
  std::vector<std::string> folders;  // outermost first; empty, with `path`, when there is none
  std::string path;
};
HistoryPlace historyPlace(const char* stateHome, const char* home);

}  // namespace support

#endif  // INVOKEMODULE_SUPPORT_HISTORY_LINES_H_
