// The line splitter against inputs delivered in chunks of every size.
#include "support/line_splitter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct ChunkedInput {
  std::string bytes;
  std::size_t chunk;
  std::size_t at = 0;
  static std::size_t read(void* context, char* into, std::size_t size) {
    auto* input = static_cast<ChunkedInput*>(context);
    std::size_t n = std::min({size, input->chunk, input->bytes.size() - input->at});
    std::memcpy(into, input->bytes.data() + input->at, n);
    input->at += n;
    return n;
  }
};

TEST(LineSplitter, CutsAtLineEndsAndKeepsALastLineWithoutOne) {
  struct Row {
    std::string input;
    std::vector<std::string> lines;
  } rows[] = {
      {"", {}},
      {"\n", {""}},
      {"a\nb\n", {"a", "b"}},
      {"a\nlast", {"a", "last"}},
      {"\n\n", {"", ""}},
      {"cr\r\n", {"cr\r"}},
      {std::string("n\0ul\n", 5), {std::string("n\0ul", 4)}},
      {std::string(70000, 'x') + "\ny", {std::string(70000, 'x'), "y"}},
  };
  for (const Row& row : rows) {
    for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{1} << 20}) {
      SCOPED_TRACE(row.input.substr(0, 20) + " in chunks of " + std::to_string(chunk));
      ChunkedInput input{row.input, chunk};
      auto splitter = std::make_unique<support::LineSplitter>();
      std::vector<std::string> lines;
      std::string line;
      while (splitter->nextLine(&line, &ChunkedInput::read, &input)) lines.push_back(line);
      EXPECT_EQ(lines, row.lines);
      EXPECT_FALSE(splitter->nextLine(&line, &ChunkedInput::read, &input));  // ended for good
    }
  }
}

}  // namespace
