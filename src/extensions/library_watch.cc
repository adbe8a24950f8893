// Private copies of extension libraries for --watch: the per-process folder, fresh copies,
// clean-up of folders left behind, and waiting for a file being written to settle.
#include "extensions/library_watch.h"

#include <cstdlib>

#include "extensions/extension_registry.h"
#include "platform/dynamic_library.h"
#include "platform/platform.h"

namespace {

constexpr std::string_view kFolderPrefix = "invokemodule-";
constexpr std::int64_t kSettleNanoseconds = 200 * 1000000LL;
constexpr std::int64_t kSettleLimitNanoseconds = 5000 * 1000000LL;

char separator() { return platform::pathSeparators()[0]; }

const std::string& privateFolder() {
  std::string& folder = extensionRegistry.watch.folder;
  if (folder.empty()) {
    folder = platform::temporaryFolder() + separator() + std::string(kFolderPrefix) +
             std::to_string(platform::processId());
  }
  return folder;
}

// Every entry of `original` (an absolute folder) is given a name in `mirror`, so that a library
// that finds its files beside itself finds them beside its copy. The copy itself is there
// already under its name, which the link leaves in place. What cannot be linked is left out.
void mirrorFolder(const std::string& original, const std::string& mirror) {
  std::string from = original.back() == separator() ? original : original + separator();
  for (const std::string& entry : platform::folderEntries(original)) {
    platform::linkEntry(from + entry, mirror + separator() + entry);
  }
}

}  // namespace

std::uint32_t privateFolderOwner(std::string_view entryName) {
  if (entryName.substr(0, kFolderPrefix.size()) != kFolderPrefix) return 0;
  std::string_view digits = entryName.substr(kFolderPrefix.size());
  if (digits.empty() || digits.size() > 10) return 0;
  std::uint64_t id = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    id = id * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return id > 0 && id <= 0xffffffffu ? static_cast<std::uint32_t>(id) : 0;
}

void enableLibraryWatch() {
  extensionRegistry.watch.enabled = true;
  std::string temporary = platform::temporaryFolder();
  std::uint32_t self = platform::processId();
  for (const std::string& entry : platform::folderEntries(temporary)) {
    std::uint32_t owner = privateFolderOwner(entry);
    if (owner != 0 && owner != self && !platform::processRunning(owner)) {
      platform::removeFolderTree(temporary + separator() + entry);
    }
  }
}

std::string makePrivateCopy(const std::string& original, std::uint32_t* error) {
  LibraryWatch& watch = extensionRegistry.watch;
  if (!watch.folderMade) {
    watch.folderMade = platform::makeFolder(privateFolder());
    if (watch.folderMade) std::atexit(removePrivateCopies);  // also when an extension calls exit()
  }
  std::string folder = privateFolder() + separator() + std::to_string(++watch.copies);
  std::string copy =
      folder + separator() + original.substr(original.find_last_of(platform::pathSeparators()) + 1);
  platform::makeFolder(folder);  // when it fails, so does the copy, with the reason
  *error = platform::copyFile(original, copy);
  if (*error == 0) {
    mirrorFolder(platform::resolvedPath(folderOf(original)), folder);
    return copy;
  }
  platform::removeFolderTree(folder);
  return std::string();
}

void discardPrivateCopy(const std::string& copy) {
  if (copy.empty()) return;
  platform::removeFile(copy);
  platform::removeFolderTree(folderOf(copy));
}

void removePrivateCopies() {
  LibraryWatch& watch = extensionRegistry.watch;
  if (!watch.folderMade) return;
  platform::removeFolderTree(privateFolder());
  watch.folderMade = false;
}

std::string folderOf(const std::string& path) {
  std::size_t end = path.find_last_of(platform::pathSeparators());
  if (end == std::string::npos) return ".";
  return path.substr(0, end == 0 ? 1 : end);
}

platform::FileStamp settledStamp(const std::string& path) {
  platform::FileStamp stamp = platform::fileStamp(path);
  std::int64_t start = platform::fileClockNow();
  std::int64_t heldSince = start;
  for (;;) {
    std::int64_t now = platform::fileClockNow();
    bool written200msAgo = stamp.exists && now - stamp.modified >= kSettleNanoseconds;
    if (written200msAgo || now - heldSince >= kSettleNanoseconds || now - start >= kSettleLimitNanoseconds) {
      return stamp;
    }
    platform::sleepMilliseconds(20);
    platform::FileStamp next = platform::fileStamp(path);
    // Held still: the same size and the same time of the last write. A linker that sets the
    // size first and writes the content after it keeps changing the time.
    if (next != stamp) heldSince = platform::fileClockNow();
    stamp = next;
  }
}

void* openPrivateCopy(const std::string& original, std::string* copy, platform::LibraryOpenFailure* failure) {
  std::uint32_t error = 0;
  *copy = makePrivateCopy(original, &error);
  if (copy->empty()) {
    failure->errorCode = error;
    failure->reason = "cannot copy to " + privateFolder() + ": " + platform::loaderErrorText(error);
    failure->fileFound = true;
    return nullptr;
  }
  void* library = platform::openLibraryCopy(*copy, folderOf(original), failure);
  if (library != nullptr) return library;
  // The loader's text names the copy; the user knows the original.
  for (std::size_t at; (at = failure->reason.find(*copy)) != std::string::npos;) {
    failure->reason.replace(at, copy->size(), original);
  }
  discardPrivateCopy(*copy);
  copy->clear();
  return nullptr;
}

void* PrivateCopyLibraries::open(const std::string& path, platform::LibraryOpenFailure* failure) {
  bool bare = path.find_first_of(platform::pathSeparators()) == std::string::npos;
  std::string source = bare ? platform::systemSearchResult(path) : path;
  if (source.empty() || !platform::fileExists(source)) {
    void* library = systemLibraries().open(path, failure);
    if (library != nullptr) {
      original = platform::loadedLibraryPath(library);
      copy.clear();
      stamp = platform::fileStamp(original);
    }
    return library;
  }
  // Absolute, and made before the library's start-up code runs, so that the file loaded stays
  // the one watched when an extension changes the working folder (also in that code).
  const std::string absolute = platform::resolvedPath(source);
  platform::FileStamp before = platform::fileStamp(source);
  std::string made;
  void* library = openPrivateCopy(source, &made, failure);  // failures name the file as given
  if (library == nullptr) return nullptr;
  original = absolute;
  copy = made;
  stamp = before;
  return library;
}
