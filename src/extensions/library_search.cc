// The portable search for an extension's library and the explanation of a failed load.
#include "extensions/library_search.h"
#include "extensions/library_exports.h"
#include "values/plain_text.h"

#include <algorithm>
#include <fstream>

namespace {

class RealLibrarySystem final : public LibrarySystem {
 public:
  void* open(const std::string& path, platform::LibraryOpenFailure* failure) override {
    return platform::openLibrary(path, failure);
  }
  bool exists(const std::string& path) override { return platform::fileExists(path); }
  std::string readStart(const std::string& path, std::size_t size) override {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) return std::string();
    std::streamoff length = file.tellg();
    if (length < 0) return std::string();
    std::string bytes(std::min(size, static_cast<std::size_t>(length)), '\0');
    file.seekg(0);
    file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(file.gcount()));
    return bytes;
  }
  std::vector<std::string> folderEntries(const std::string& folder) override {
    return platform::folderEntries(folder);
  }
};

// The folder part of `name` ("/" for a file in the root) and where its file name starts, or
// npos when the name has no folder part.
std::size_t lastSeparator(std::string_view name, const SearchPolicy& policy) {
  return name.find_last_of(policy.separators);
}

std::string whereText(const std::string& folder) {
  if (folder.empty()) return " (system search)";
  if (folder == ".") return " in the current folder";
  return " in " + folder;
}

std::string reasonText(const LoadAttempt& attempt) {
  const std::string& reason = attempt.failure.reason;
  if (reason.empty()) {
    std::string text = platform::loaderErrorText(attempt.failure.errorCode);
    return "error " + std::to_string(attempt.failure.errorCode) + (text.empty() ? "" : ": " + text);
  }
  // The loader's message starts with the path it was given; the line names the file already.
  std::string prefix = attempt.path + ": ";
  if (reason.compare(0, prefix.size(), prefix) == 0) return reason.substr(prefix.size());
  return reason;
}

// Where the file of a failed attempt can be read, or empty when the system's search found it
// somewhere the host does not know.
std::string locate(const LoadAttempt& attempt, const SearchPolicy& policy, LibrarySystem& system) {
  if (!attempt.folder.empty()) return attempt.path;
  if (policy.localFoldersFirst) return std::string();  // the local folders were tried by path
  std::string separator(1, policy.separators[0]);
  if (!policy.executableDirectory.empty()) {
    std::string beside = policy.executableDirectory + separator + attempt.file;
    if (system.exists(beside)) return beside;
  }
  return system.exists(attempt.file) ? attempt.file : std::string();
}

// The most of a library file read for its symbol table.
constexpr std::size_t kLongestReadLibrary = std::size_t{256} << 20;

// Why a library built for a sanitizer or for fuzzing misses functions: the program it expects
// provides them. Empty for any other library.
std::string instrumentationLine(const std::string& file, std::string_view bytes) {
  if (elfAddressSanitized(bytes)) {
    return file +
           " is built with AddressSanitizer, whose runtime must be loaded first: start the host as "
           "LD_PRELOAD=$(clang -print-file-name=libclang_rt.asan-x86_64.so) invokemodule (for a gcc build: "
           "$(gcc -print-file-name=libasan.so))";
  }
  if (elfCoverageInstrumented(bytes)) {
    return file +
           " is built with coverage instrumentation for fuzzing, whose hooks only invokemodule --fuzz "
           "provides, where the host has libFuzzer";
  }
  return std::string();
}

std::string wrongKindLine(std::string_view typedName, const LoadAttempt& attempt, const LibraryFileKind& kind,
                          const SearchPolicy& policy) {
  int hostBits = policy.host64 ? 64 : 32;
  int otherBits = policy.host64 ? 32 : 64;
  if (!policy.peLibraries && kind.format == LibraryFileKind::Pe) {
    std::string names;
    for (const std::string& suffix : policy.suffixes) {
      if (endsWithIgnoringCase(suffix, ".dll")) continue;
      if (!names.empty()) names += " or ";
      names += std::string(typedName) + suffix;
    }
    return attempt.file + " is a Windows library; on Linux the host loads " + names;
  }
  if (kind.bits != otherBits) return std::string();
  if (!policy.peLibraries && kind.format == LibraryFileKind::Elf) {
    return attempt.file + " is a " + std::to_string(otherBits) + "-bit library; this host loads " +
           std::to_string(hostBits) + "-bit libraries";
  }
  if (policy.peLibraries && kind.format == LibraryFileKind::Pe) {
    return attempt.file + " is a " + std::to_string(otherBits) + "-bit library; this is the " +
           std::to_string(hostBits) + "-bit host: use the " + std::to_string(otherBits) + "-bit build";
  }
  return std::string();
}

// A file beside the places looked in that the user most likely meant: the name with CMake's
// "lib" prefix, or (where names differ by letter case) the name in another letter case.
std::string nearbyFileHint(std::string_view typedName, const SearchPolicy& policy, LibrarySystem& system) {
  std::size_t separator = lastSeparator(typedName, policy);
  std::vector<std::string> folders;
  std::string base(typedName);
  if (separator != std::string_view::npos) {
    folders.emplace_back(typedName.substr(0, separator == 0 ? 1 : separator));
    base = std::string(typedName.substr(separator + 1));
  } else {
    folders.emplace_back(".");
    if (!policy.executableDirectory.empty()) folders.push_back(policy.executableDirectory);
  }
  for (const std::string& folder : folders) {
    std::vector<std::string> entries = system.folderEntries(folder);
    for (const std::string& suffix : policy.suffixes) {
      std::string wanted = base + suffix;
      std::string prefixed = "lib" + wanted;
      for (const std::string& entry : entries) {
        bool meant = entry == prefixed;
        if (policy.caseSensitiveNames && entry != wanted) {
          std::string lower = toLowerAscii(entry);
          meant = meant || lower == toLowerAscii(wanted) || lower == toLowerAscii(prefixed);
        }
        if (meant) {
          return "found " + entry + whereText(folder) +
                 ", which the game would not load under this name: rename it to " + wanted;
        }
      }
    }
  }
  return std::string();
}

}  // namespace

LibrarySystem& systemLibraries() {
  static RealLibrarySystem system;
  return system;
}

SearchPolicy SearchPolicy::ofPlatform() {
  SearchPolicy policy;
  for (const char* suffix : platform::libraryFileSuffixes()) policy.suffixes.emplace_back(suffix);
  policy.localFoldersFirst = platform::searchesLocalFoldersFirst();
  policy.executableDirectory = platform::executableDirectory();
  policy.separators = platform::pathSeparators();
  policy.peLibraries = platform::librariesArePeFiles();
  policy.caseSensitiveNames = platform::fileNamesAreCaseSensitive();
  policy.host64 = sizeof(void*) == 8;
  return policy;
}

const LoadAttempt* LibrarySearch::mostTelling() const {
  const LoadAttempt* first = nullptr;
  for (const LoadAttempt& attempt : attempts) {
    if (attempt.failure.fileFound) return &attempt;
    if (first == nullptr) first = &attempt;
  }
  return first;
}

LibrarySearch searchLibrary(std::string_view typedName, const SearchPolicy& policy, LibrarySystem& system) {
  LibrarySearch search;
  bool hasFolder = lastSeparator(typedName, policy) != std::string_view::npos;
  // Only files the loader is asked for are attempts: a local folder without the file is skipped.
  auto attempt = [&](const std::string& file, std::string folder, std::string path, bool mustExist) {
    if (mustExist && !system.exists(path)) return false;
    LoadAttempt& made = search.attempts.emplace_back();
    made.file = file;
    made.folder = std::move(folder);
    made.path = std::move(path);
    void* library = system.open(made.path, &made.failure);
    if (library == nullptr) return false;
    search.library = library;
    search.file = file;
    search.path = made.path;
    return true;
  };
  for (const std::string& suffix : policy.suffixes) {
    std::string file = std::string(typedName) + suffix;
    if (hasFolder) {
      // A name with a folder part is opened as given, relative to the current folder.
      std::size_t separator = lastSeparator(file, policy);
      if (attempt(file, file.substr(0, separator == 0 ? 1 : separator), file, false)) break;
      continue;
    }
    if (policy.localFoldersFirst) {
      // The system's search never looks in the current folder or beside the executable.
      if (attempt(file, ".", "./" + file, true)) break;
      if (!policy.executableDirectory.empty() &&
          attempt(file, policy.executableDirectory, policy.executableDirectory + "/" + file, true)) {
        break;
      }
    }
    if (attempt(file, "", file, false)) break;
  }
  return search;
}

std::vector<std::string> loadFailureDetails(std::string_view typedName, const LibrarySearch& search,
                                            const SearchPolicy& policy, LibrarySystem& system) {
  std::vector<std::string> lines;
  for (const LoadAttempt& attempt : search.attempts) {
    lines.push_back(attempt.file + whereText(attempt.folder) + ": " + reasonText(attempt));
  }
  std::vector<std::string> checked;
  for (const LoadAttempt& attempt : search.attempts) {
    if (!attempt.failure.fileFound) continue;
    std::string path = locate(attempt, policy, system);
    if (path.empty() || std::find(checked.begin(), checked.end(), path) != checked.end()) continue;
    checked.push_back(path);
    std::string line =
        wrongKindLine(typedName, attempt, libraryFileKind(system.readStart(path, 4096)), policy);
    if (!line.empty()) lines.push_back(std::move(line));
    if (attempt.failure.reason.find("undefined symbol") != std::string::npos) {
      line = instrumentationLine(attempt.file, system.readStart(path, kLongestReadLibrary));
      if (!line.empty()) lines.push_back(std::move(line));
    }
  }
  // One hint at most: a suffix typed by hand first, else a file nearby under another name.
  std::size_t longest = 0;
  for (const std::string& suffix : policy.suffixes) {
    if (suffix.size() > longest && typedName.size() > suffix.size() &&
        endsWithIgnoringCase(typedName, suffix)) {
      longest = suffix.size();
    }
  }
  if (longest > 0) {
    lines.push_back("the suffix is added for you: call it as \"" +
                    std::string(typedName.substr(0, typedName.size() - longest)) + "\"");
  } else if (std::string hint = nearbyFileHint(typedName, policy, system); !hint.empty()) {
    lines.push_back(std::move(hint));
  }
  return lines;
}

LibraryFileKind libraryFileKind(std::string_view head) {
  LibraryFileKind kind;
  auto byte = [&](std::size_t at) { return at < head.size() ? static_cast<unsigned char>(head[at]) : 0u; };
  if (head.size() >= 5 && head.substr(0, 4) ==
                              "\x7f"
                              "ELF") {
    kind.format = LibraryFileKind::Elf;
    kind.bits = byte(4) == 1 ? 32 : byte(4) == 2 ? 64 : 0;
    return kind;
  }
  if (head.size() < 0x40 || head.substr(0, 2) != "MZ") return kind;
  std::size_t pe =
      byte(0x3c) | byte(0x3d) << 8 | byte(0x3e) << 16 | static_cast<std::size_t>(byte(0x3f)) << 24;
  if (pe > head.size() || head.size() - pe < 6 || head.substr(pe, 4) != std::string_view("PE\0\0", 4))
    return kind;
  kind.format = LibraryFileKind::Pe;
  unsigned machine = byte(pe + 4) | byte(pe + 5) << 8;
  if (machine == 0x14c) kind.bits = 32;                        // x86
  if (machine == 0x8664 || machine == 0xaa64) kind.bits = 64;  // x64, ARM64
  return kind;
}

std::uint64_t libraryFileLength(std::string_view head) {
  // Little-endian fields, as on every platform the host runs on; 0 past the bytes read.
  auto field = [&](std::size_t at, std::size_t size) {
    std::uint64_t value = 0;
    if (at > head.size() || head.size() - at < size) return value;
    for (std::size_t i = size; i-- > 0;) value = value << 8 | static_cast<unsigned char>(head[at + i]);
    return value;
  };
  std::uint64_t length = 0;
  auto reaches = [&](std::uint64_t offset, std::uint64_t size) { length = std::max(length, offset + size); };
  LibraryFileKind kind = libraryFileKind(head);
  if (kind.format == LibraryFileKind::Elf && kind.bits != 0 && field(5, 1) == 1) {
    bool wide = kind.bits == 64;
    std::size_t word = wide ? 8 : 4;
    // The section headers, and the file part of each program header's segment.
    reaches(field(wide ? 0x28 : 0x20, word), field(wide ? 0x3a : 0x2e, 2) * field(wide ? 0x3c : 0x30, 2));
    std::uint64_t programs = field(wide ? 0x20 : 0x1c, word);
    std::uint64_t entrySize = field(wide ? 0x36 : 0x2a, 2);
    for (std::uint64_t i = 0, count = field(wide ? 0x38 : 0x2c, 2); i < count && programs < head.size();
         ++i) {
      std::size_t entry = static_cast<std::size_t>(programs + i * entrySize);
      reaches(field(entry + (wide ? 8 : 4), word), field(entry + (wide ? 32 : 16), word));
    }
  } else if (kind.format == LibraryFileKind::Pe) {
    std::size_t pe = static_cast<std::size_t>(field(0x3c, 4));
    std::size_t sections = pe + 24 + static_cast<std::size_t>(field(pe + 20, 2));
    for (std::uint64_t i = 0, count = field(pe + 6, 2); i < count; ++i) {
      std::size_t entry = sections + static_cast<std::size_t>(i) * 40;
      reaches(field(entry + 20, 4), field(entry + 16, 4));
    }
  }
  return length;
}
