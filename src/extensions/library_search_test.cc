// The library search against a fake loader and file system, the failure explanation, and the
// export-table diagnosis.
#include "extensions/library_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "extensions/library_exports.h"

namespace {

// Files by path. A path in `loads` opens; any other existing one fails as "found, not loadable";
// a bare name is looked up as the system's search would find it (in `system`).
struct FakeSystem final : LibrarySystem {
  std::map<std::string, std::string> files;  // path -> contents
  std::set<std::string> loads;
  std::set<std::string> system;  // bare names the system's search finds
  std::vector<std::string> opened;
  int token = 0;

  void* open(const std::string& path, platform::LibraryOpenFailure* failure) override {
    opened.push_back(path);
    if (loads.count(path) != 0) return &token;
    bool found = files.count(path) != 0 || system.count(path) != 0;
    failure->fileFound = found;
    failure->errorCode = found ? 8 : 2;
    failure->reason = path + (found ? ": invalid file" : ": no such file");
    return nullptr;
  }
  bool exists(const std::string& path) override { return files.count(path) != 0 || loads.count(path) != 0; }
  std::string readStart(const std::string& path, std::size_t size) override {
    auto found = files.find(path);
    return found == files.end() ? std::string() : found->second.substr(0, size);
  }
  std::vector<std::string> folderEntries(const std::string& folder) override {
    std::vector<std::string> names;
    for (const auto& [path, contents] : files) {
      std::size_t slash = path.rfind('/');
      if (slash != std::string::npos && path.substr(0, slash) == folder)
        names.push_back(path.substr(slash + 1));
    }
    return names;
  }
};

SearchPolicy posixPolicy() {
  SearchPolicy policy;
  policy.suffixes = {"_x64.so", ".so", ".dll"};
  policy.localFoldersFirst = true;
  policy.executableDirectory = "/opt/bin";
  return policy;
}

SearchPolicy windowsPolicy(bool host64) {
  SearchPolicy policy;
  policy.suffixes = host64 ? std::vector<std::string>{"_x64.dll", ".dll"} : std::vector<std::string>{".dll"};
  policy.executableDirectory = "C:/bin";
  policy.separators = "/\\";
  policy.peLibraries = true;
  policy.caseSensitiveNames = false;
  policy.host64 = host64;
  return policy;
}

// The bytes of a built test extension.
std::string testextFile(const char* name) {
  std::ifstream in(std::string(TESTEXT_DIR) + "/" + name + TESTEXT_FILE_SUFFIX, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string join(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : " | ") + item;
  return text;
}

const std::string kElf64 = std::string(
                               "\x7f"
                               "ELF\x02\x01\x01",
                               7) +
                           std::string(57, '\0');
std::string peFile(unsigned machine) {
  std::string file(0x90, '\0');
  file[0] = 'M';
  file[1] = 'Z';
  file[0x3c] = 0x80;
  file.replace(0x80, 4, std::string("PE\0\0", 4));
  file[0x84] = static_cast<char>(machine & 0xff);
  file[0x85] = static_cast<char>(machine >> 8);
  return file;
}

struct SearchCase {
  const char* what;
  SearchPolicy policy;
  const char* typed;
  std::map<std::string, std::string> files;
  std::set<std::string> loads;
  std::set<std::string> system;
  const char* opened;  // the paths handed to the loader, in order
  const char* result;  // "loaded <path>" or "reported <path>"
};

TEST(LibrarySearch, TriesTheCandidatesInOrderAndReportsTheMostTellingFailure) {
  const SearchCase cases[] = {
      {"the current folder first",
       posixPolicy(),
       "x",
       {},
       {"./x_x64.so", "/opt/bin/x_x64.so"},
       {},
       "./x_x64.so",
       "loaded ./x_x64.so"},
      {"then beside the executable",
       posixPolicy(),
       "x",
       {},
       {"/opt/bin/x_x64.so"},
       {},
       "/opt/bin/x_x64.so",
       "loaded /opt/bin/x_x64.so"},
      {"a later suffix loads when the first fails",
       posixPolicy(),
       "x",
       {},
       {"x.so"},
       {},
       "x_x64.so | x.so",
       "loaded x.so"},
      {"a file the system's search finds but cannot load",
       posixPolicy(),
       "x",
       {},
       {},
       {"x.so"},
       "x_x64.so | x.so | x.dll",
       "reported x.so"},
      {"a name with a folder is opened as given",
       posixPolicy(),
       "sub/x",
       {{"sub/x.so", "junk"}},
       {},
       {},
       "sub/x_x64.so | sub/x.so | sub/x.dll",
       "reported sub/x.so"},
      {"Windows: the loader's own search for every candidate",
       windowsPolicy(true),
       "x",
       {},
       {},
       {"x.dll"},
       "x_x64.dll | x.dll",
       "reported x.dll"},
      {"Windows: the first candidate that loads",
       windowsPolicy(true),
       "x",
       {},
       {"x_x64.dll", "x.dll"},
       {},
       "x_x64.dll",
       "loaded x_x64.dll"},
  };
  for (const SearchCase& row : cases) {
    SCOPED_TRACE(row.what);
    FakeSystem system;
    system.files = row.files;
    system.loads = row.loads;
    system.system = row.system;
    LibrarySearch search = searchLibrary(row.typed, row.policy, system);
    EXPECT_EQ(join(system.opened), row.opened);
    std::string result = search.library != nullptr         ? "loaded " + search.path
                         : search.mostTelling() != nullptr ? "reported " + search.mostTelling()->path
                                                           : "nothing";
    EXPECT_EQ(result, row.result);
  }
}

struct DetailsCase {
  const char* what;
  SearchPolicy policy;
  const char* typed;
  std::map<std::string, std::string> files;
  std::set<std::string> system;
  const char* expected;  // every line after the first, joined
};

TEST(LibrarySearch, ExplainsAFailedLoad) {
  const DetailsCase cases[] = {
      {"a file found locally",
       posixPolicy(),
       "x",
       {{"/opt/bin/x.so", kElf64}},
       {},
       "x_x64.so (system search): no such file | x.so in /opt/bin: invalid file | x.so (system search): no "
       "such file | "
       "x.dll (system search): no such file"},
      {"Windows: an ELF file gets no line of its kind",
       windowsPolicy(false),
       "sub/x",
       {{"sub/x.dll", kElf64}},
       {},
       "sub/x.dll in sub: invalid file"},
      {"a 32-bit library for the 64-bit Windows host, beside the executable",
       windowsPolicy(true),
       "x",
       {{"C:/bin/x.dll", peFile(0x14c)}},
       {"x.dll"},
       "x_x64.dll (system search): no such file | x.dll (system search): invalid file | "
       "x.dll is a 32-bit library; this is the 64-bit host: use the 32-bit build"},
      {"a 64-bit library for the 32-bit Windows host, in the current folder",
       windowsPolicy(false),
       "x",
       {{"x.dll", peFile(0x8664)}},
       {"x.dll"},
       "x.dll (system search): invalid file | x.dll is a 64-bit library; this is the 32-bit host: use the "
       "64-bit build"},
      {"a suffix typed by hand",
       windowsPolicy(false),
       "./libminimal.DLL",
       {},
       {},
       "./libminimal.DLL.dll in the current folder: no such file | the suffix is added for you: call it as "
       "\"./libminimal\""},
      {"CMake's lib prefix; letter case does not matter on Windows",
       windowsPolicy(false),
       "C:/ext/x",
       {{"C:/ext/X.DLL", ""}, {"C:/ext/libx.dll", ""}},
       {},
       "C:/ext/x.dll in C:/ext: no such file | found libx.dll in C:/ext, which the game would not load under "
       "this "
       "name: rename it to x.dll"},
  };
  for (const DetailsCase& row : cases) {
    SCOPED_TRACE(row.what);
    FakeSystem system;
    system.files = row.files;
    system.system = row.system;
    LibrarySearch search = searchLibrary(row.typed, row.policy, system);
    EXPECT_EQ(join(loadFailureDetails(row.typed, search, row.policy, system)), row.expected);
  }
}

TEST(LibraryExports, TellsHowTheEntryPointsAreMissed) {
  const ExportRules posix{false, false}, win32{true, true}, win64{false, true};
  const std::array<bool, 4> none{}, versionAndCallback{true, false, false, true};
  struct Row {
    std::vector<std::string> exported;
    std::array<bool, 4> found;
    ExportRules rules;
    const char* expected;
  } rows[] = {
      {{"_Z11RVExtensionPciPKc", "_Z15RVExtensionArgsPciPKcPS1_i", "other"},
       versionAndCallback,
       posix,
       "_Z11RVExtensionPciPKc is a C++ name: declare the entry points extern \"C\" | "
       "_Z15RVExtensionArgsPciPKcPS1_i is a C++ name: declare the entry points extern \"C\""},
      {{"?RVExtension@@YGXPADHPBD@Z"},
       none,
       win32,
       "?RVExtension@@YGXPADHPBD@Z is a C++ name: declare the entry points extern \"C\""},
      {{"RVExtension@12", "RVExtensionVersion", "_RVExtensionArgs@24"},
       none,
       win32,
       "RVExtension@12 should be _RVExtension@12: declare the entry points __stdcall, then export them "
       "under their decorated names (a .def file) | "
       "RVExtensionVersion should be _RVExtensionVersion@8: declare the entry points __stdcall, then "
       "export them under their decorated names (a .def file) | "
       "_RVExtensionArgs@24 should be _RVExtensionArgs@20: declare the entry points __stdcall, then "
       "export them under their decorated names (a .def file)"},
      {{"_RVExtension@12", "RVExtensionVersion"},
       {true, false, false, false},
       win64,
       "_RVExtension@12 should be RVExtension: this host looks up the plain names; give them in a .def file"},
      {{"rvextension", "helper"},
       none,
       posix,
       "exports none of the entry points; names that look close: rvextension"},
      {{"helper"}, none, win64, "exports nothing that looks like an entry point"},
      {{"RVExtension", "RVExtensionArgs"}, {false, true, true, false}, posix, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expected);
    EXPECT_EQ(join(exportProblems(row.exported, row.found, row.rules)), row.expected);
  }
}

// Entry points found only under their decorated names: the host calls them, but where the
// game looks up the plain names it would not find them.
TEST(LibraryExports, NamesEntryPointsTheGameWouldNotFindUnderTheirDecoratedNames) {
  const ExportRules posix{false, false}, win32{true, true};
  EXPECT_EQ(join(decoratedNameProblems({true, false, false, false}, posix)),
            "_RVExtensionVersion@8 should be RVExtensionVersion: the game looks up the plain names on this "
            "platform");
  EXPECT_EQ(join(decoratedNameProblems({false, true, true, false}, win32)), "");
}

// A PE image as the loader maps it: headers, an export directory with two names.
TEST(LibraryExports, ReadsTheExportDirectoryOfAnImageAndNoFurther) {
  for (bool wide : {false, true}) {
    std::string image(0x400, '\0');
    auto put32 = [&](std::size_t at, std::uint32_t value) {
      for (int i = 0; i < 4; ++i) image[at + i] = static_cast<char>(value >> (8 * i));
    };
    image[0] = 'M';
    image[1] = 'Z';
    put32(0x3c, 0x80);
    put32(0x80, 0x4550);
    std::size_t optional = 0x80 + 24;
    image[optional] = 0x0b;
    image[optional + 1] = wide ? 0x02 : 0x01;
    put32(optional + 56, 0x400);                 // SizeOfImage
    put32(optional + (wide ? 112 : 96), 0x200);  // export directory
    put32(0x200 + 24, 2);                        // NumberOfNames
    put32(0x200 + 32, 0x280);                    // AddressOfNames
    put32(0x280, 0x300);
    put32(0x284, 0x310);
    image.replace(0x300, 12, "RVExtension");
    image.replace(0x310, 7, "helper");
    EXPECT_EQ(join(peExportedNames(image.data())), "RVExtension | helper");
    put32(0x284, 0x3ff);  // a name that would run past the image: the list stops there
    image[0x3ff] = 'x';
    EXPECT_EQ(join(peExportedNames(image.data())), "RVExtension");
  }
}

// Every prefix of a real library is read without reading past it; the whole file gives the exports.
TEST(LibraryExports, ReadsTheDynamicSymbolsOfAnElfFile) {
  std::string file = testextFile("testext_full");
  if (file.substr(0, 4) !=
      "\x7f"
      "ELF")
    GTEST_SKIP() << "not an ELF platform";
  std::vector<std::string> names = elfExportedNames(file);
  std::set<std::string> entryPoints;
  for (const std::string& name : names) {
    if (name.starts_with("RVExtension")) entryPoints.insert(name);
  }
  EXPECT_EQ(entryPoints, (std::set<std::string>{"RVExtension", "RVExtensionArgs",
                                                "RVExtensionRegisterCallback", "RVExtensionVersion"}));
  for (std::size_t size = 0; size < file.size(); size += 1 + size / 8) {
    std::string cut = file.substr(0, size);
    elfExportedNames(cut);
  }
}

// What keeps a real library in memory is read from its dynamic symbols: a GNU unique symbol
// only in the build made with one; the thread-local destructors' import in both.
TEST(LibraryExports, TellsWhatKeepsAnElfLibraryInMemory) {
  std::string full = testextFile("testext_full");
  std::string unique = testextFile("testext_unique");
  if (full.substr(0, 4) !=
          "\x7f"
          "ELF" ||
      unique.empty())
    GTEST_SKIP() << "no GNU unique build here";
  EXPECT_FALSE(elfResidencyCauses(full).gnuUnique);
  EXPECT_TRUE(elfResidencyCauses(full).threadLocalDestructors);
  EXPECT_TRUE(elfResidencyCauses(unique).gnuUnique);
  EXPECT_FALSE(elfResidencyCauses(full.substr(0, full.size() / 2)).gnuUnique);
  // The counter the extension keeps in an inline function's static is among the unique names.
  std::vector<std::string> names = elfGnuUniqueNames(unique);
  EXPECT_NE(std::find(names.begin(), names.end(), "_ZZ13uniqueCountervE5count"), names.end());
  EXPECT_TRUE(elfGnuUniqueNames(full).empty());
}

// The headers of a real library describe a file as long as it is (some trailing data aside):
// a file cut short, as one still being written, is told from a complete one.
TEST(LibrarySearch, TellsTheLengthALibraryFileMustHave) {
  std::string file = testextFile("testext_full");
  std::uint64_t length = libraryFileLength(std::string_view(file).substr(0, 4096));
  EXPECT_LE(length, file.size());
  EXPECT_GT(length, file.size() / 2);
  EXPECT_EQ(libraryFileLength("not a library"), 0u);
}

}  // namespace
