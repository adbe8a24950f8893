// The typed lines kept across sessions: what is kept, where, and when the file is rewritten.
#include "support/history_lines.h"

#include <utility>

namespace support {

bool HistoryLines::load(const std::string& contents) {
  fileLines_ = 0;
  std::size_t start = 0;
  for (std::size_t end; (end = contents.find('\n', start)) != std::string::npos; start = end + 1) {
    ++fileLines_;
    add(contents.substr(start, end - start));
  }
  return fileLines_ > kRewriteAt;
}

bool HistoryLines::add(const std::string& line) {
  if (line.empty() || (!kept_.empty() && kept_.back() == line)) return false;
  if (kept_.size() == kCap) kept_.erase(kept_.begin());
  kept_.push_back(line);
  return true;
}

std::string HistoryLines::fileText() const {
  std::string text;
  for (const std::string& kept : kept_) text.append(kept).append("\n");
  return text;
}

HistoryPlace historyPlace(const char* stateHome, const char* home) {
  HistoryPlace place;
  std::string folder;
  if (stateHome != nullptr && stateHome[0] == '/') {
    folder = stateHome;
  } else if (home != nullptr && home[0] == '/') {
    folder = std::string(home) + "/.local";
    place.folders.push_back(folder);
    folder += "/state";
  } else {
    return place;
  }
  place.folders.push_back(folder);
  folder += "/invokemodule";
  place.folders.push_back(folder);
  place.path = folder + "/history";
  return place;
}

}  // namespace support
