// The JUnit report's escaping: whatever bytes a script printed, the text is well-formed XML.
#include "testmode/junit_report.h"

#include <gtest/gtest.h>

namespace {

TEST(JunitReport, EscapesMarkupControlsAndBadUtf8) {
  struct Row {
    std::string text;
    std::string xml;
  };
  const Row rows[] = {
      {"plain text", "plain text"},
      {"<a href=\"x\">&amp;'</a>", "&lt;a href=&quot;x&quot;&gt;&amp;amp;'&lt;/a&gt;"},
      {"tab\there\nline", "tab\there\nline"},
      {"cr\r\n", "cr&#13;\n"},
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"\x01\x1b[31m\x7f", "\\x01\\x1B[31m\\x7F"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"\xFF", "\xEF\xBF\xBD"},
      {"\xC3", "\xEF\xBF\xBD"},                  // cut short at the end
      {"\xC3(", "\xEF\xBF\xBD("},                // cut short by an ASCII byte
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // overlong
      {"\xE0\x80\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},                  // a surrogate
      {"\xEF\xBF\xBE", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},                  // U+FFFE
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // beyond U+10FFFF
  };
  for (const Row& row : rows) EXPECT_EQ(xmlEscaped(row.text), row.xml) << row.text;
}

TEST(JunitReport, OneCasePerScriptWithTheDiffAsFailure) {
  std::vector<ScriptOutcome> outcomes(2);
  outcomes[0] = {"t/a.sqf", true, 0.0125, "", ""};
  outcomes[1] = {"t/<b>.sqf", false, 1.5, "the transcript differs", "-x\n+\x01y\n"};
  EXPECT_EQ(junitReport(outcomes),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<testsuites tests=\"2\" failures=\"1\" errors=\"0\" time=\"1.512\">\n"
            "  <testsuite name=\"invokemodule\" tests=\"2\" failures=\"1\" errors=\"0\" time=\"1.512\">\n"
            "    <testcase classname=\"invokemodule\" name=\"t/a.sqf\" time=\"0.013\"/>\n"
            "    <testcase classname=\"invokemodule\" name=\"t/&lt;b&gt;.sqf\" time=\"1.500\">\n"
            "      <failure message=\"the transcript differs\">-x\n+\\x01y\n</failure>\n"
            "    </testcase>\n"
            "  </testsuite>\n"
            "</testsuites>\n");
}

}  // namespace
