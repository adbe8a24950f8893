// The project's test extension: one source, built in several variants that differ in their
// exports and version text. What a call does is chosen by its function text.
//
// Function texts (both call forms; anything else is echoed back as the result):
//   empty                  writes nothing
//   bytes N                writes N bytes of 'x' from the start of the buffer and no terminator,
//                          whatever the buffer's size (10240 fills the last byte, 12000 overruns)
//   poke N                 writes the result "poked", then one byte at offset N (may be negative)
//   before N               writes the result "before", and N bytes of 'x' just before the buffer
//   latepoke MS N          result "started"; a background thread writes one byte at offset N
//                          of this call's buffer MS milliseconds later, after the call returned
//   fork                   forks; the call returns "forked" in both processes (POSIX)
//   killself N             sends signal N to the host's own process (POSIX)
//   linger MS              starts a process that sleeps MS milliseconds with the host's
//                          standard output open, then ends; result "lingering" (POSIX)
//   reap                   waits for the process "fork" made: "child ended <exit status>"
//   code N                 result "code"; the argument form returns N
//   print TEXT             prints TEXT and a line end to stdout itself (unflushed); result "printed"
//   sleep MS               sleeps MS milliseconds; result "slept"
//   callback N             calls the host callback N times on the calling thread
//   threads T N            T threads call back N times each; joined before returning
//   background T N         as threads, but returns at once; "wait" joins them
//   later MS N             as background 1 N, but the thread first sleeps MS milliseconds
//   storm T                T threads call back without end, also while the library is freed
//                          and the process ends; the library keeps itself loaded for them
//   async T MS             T std::async tasks each sleep MS milliseconds, then call back once;
//                          their futures are kept until the library's clean-up code destroys
//                          them (which waits for the tasks); result "sending"
//   idle T MS              T threads sleep MS milliseconds each, detached; the library keeps
//                          itself loaded for them; result "idling"
//   open PATH              opens PATH for appending and keeps it open; result: the descriptor
//   wait                   joins the background threads; result: how many of their calls got 99
//   progress               how many callbacks the background threads have made so far
//   nullcallback           calls back with null texts
//   args                   result "<argc>" then "|<arg>" per argument; the argument form returns argc
//   argvend                "null" when argv[argc] is a null pointer, else "not null"
//   readpast               reads argv[argc + 1], past the null pointer that ends the arguments
//   calls                  how many calls this load of the library has served, this one included
//   registrations          how often the callback was handed over since the library was loaded
//   build                  "build <TESTEXT_BUILD>": which build of the library answers
//   chdir <folder>         changes the process's working folder; "0" when it did
//   beside FILE            reads FILE in the folder of this library's own file (as dladdr or
//                          GetModuleFileName name it): its first line, or "no FILE beside <path>"
//   unique                 (TESTEXT_UNIQUE) counts in a GNU unique symbol: "1", "2", ...
//   resident               gives the calling thread an object with a destructor, which keeps
//                          glibc from unloading the library until the thread ends; "resident"
//   locale                 switches the C locale to a German one (decimal comma); result
//                          "decimal point <c>" as that locale has it, "no German locale" if none
//   burst N                calls the host callback N times on the calling thread; result
//                          "<a> accepted (places left <first>..<last>), <r> refused"; the part in
//                          brackets only when a callback was accepted
//   context                what the latest RVExtensionContext call received (context variants)
//   flags N                sets RVExtensionFeatureFlags to N (flag variants); result "flags N"
//   request [thread]       calls the host's RVExtensionRequestContext on this thread (or on a
//                          new one, joined), then answers as "context"
// With TESTEXT_START_FOLDER set in the environment, the start-up code changes the working folder to it.
// The callback results: "returned 99" when every callback call returned 99, else the first other value.
//
// Variant switches, set by the build: TESTEXT_EXPORT_VERSION, TESTEXT_EXPORT_CALL,
// TESTEXT_EXPORT_ARGS, TESTEXT_EXPORT_REGISTER (each 0 or 1), TESTEXT_VERSION_LENGTH (the
// version text is that many 'v' bytes; 0 gives "testext 1.0"), TESTEXT_VERSION_IGNORES_SIZE
// (copy the version text whole, past the buffer if it is too long), TESTEXT_VERSION_BEFORE (the
// version call also writes that many bytes just before the buffer), TESTEXT_LOUD (print a line
// from the library's start-up and clean-up code), TESTEXT_MANGLED (entry points without
// extern "C", so exported under their C++ names), TESTEXT_BUILD (what "build" answers; 1),
// TESTEXT_CONTEXT (export RVExtensionContext), TESTEXT_FLAGS (export the RVExtensionFeatureFlags
// variable with this first value), TESTEXT_FLAGS_FUNCTION (export a function of that name instead).
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <future>
#include <thread>
#include <vector>

// EXTENSION_CALL: the calling convention of the exports; EXTENSION_EXPORT: what makes a
// function visible outside the library (the build hides everything else, so that no other
// library binds to this one's copies of library code and keeps it from being unloaded).
#ifndef EXTENSION_CALL
#define EXTENSION_CALL
#endif
#ifndef EXTENSION_EXPORT
#define EXTENSION_EXPORT
#endif
#ifndef TESTEXT_VERSION_LENGTH
#define TESTEXT_VERSION_LENGTH 0
#endif
#ifndef TESTEXT_VERSION_BEFORE
#define TESTEXT_VERSION_BEFORE 0
#endif
#ifndef TESTEXT_BUILD
#define TESTEXT_BUILD 1
#endif
#ifndef TESTEXT_VERSION_IGNORES_SIZE
#define TESTEXT_VERSION_IGNORES_SIZE 0
#endif

typedef std::int32_t (*HostCallback)(const char* name, const char* function, const char* data);
typedef void(EXTENSION_CALL* RequestContextFunction)();

#if TESTEXT_FLAGS
extern "C" {
EXTENSION_EXPORT std::uint64_t RVExtensionFeatureFlags = TESTEXT_FLAGS;
}
#endif

#if TESTEXT_UNIQUE
// An inline function's static, visible outside the library (so outside the anonymous
// namespace): GCC makes it a GNU unique symbol, and glibc then never unloads the library, so
// its state outlives a free, and a later copy of the library binds to this copy's counter.
__attribute__((visibility("default"))) inline int& uniqueCounter() {
  static int count = 0;
  return count;
}
#endif

namespace {

std::atomic<HostCallback> hostCallback{nullptr};
std::atomic<int> callCount{0};

#if TESTEXT_FAULT_AT_EXIT
// Faults in the library's clean-up code: at its unload, or at exit for a library the system
// keeps in memory.
int* volatile nowhere = nullptr;
struct FaultsWhenDestroyed {
  ~FaultsWhenDestroyed() {
    std::fputs("clean-up code runs\n", stdout);
    std::fflush(stdout);
    *nowhere = 1;
  }
} faultsWhenDestroyed;
#endif

std::atomic<int> registrationCount{0};

// Background threads live until "wait" or until the library is unloaded, which joins them so
// that no thread runs code of an unmapped library.
struct BackgroundThreads {
  std::mutex mutex;
  std::vector<std::thread> threads;
  std::atomic<long> returned99{0};
  std::atomic<long> fired{0};  // callbacks made by background threads since the last "wait"
  ~BackgroundThreads() { joinAll(); }
  void joinAll() {
    std::vector<std::thread> running;
    {
      std::lock_guard<std::mutex> lock(mutex);
      running.swap(threads);
    }
    for (std::thread& thread : running) thread.join();
  }
};
BackgroundThreads background;

// The futures of "async", kept as a sender of web requests keeps them: destroyed with the
// library, each waiting for its task.
std::mutex asyncMutex;
std::vector<std::future<void>> asyncTasks;

#if TESTEXT_LOUD
// Unflushed, as an extension's own start-up and clean-up output usually is.
struct LoudLibrary {
  LoudLibrary() { std::printf("testext_loud: start-up code\n"); }
  ~LoudLibrary() { std::printf("testext_loud: clean-up code\n"); }
};
LoudLibrary loudLibrary;
#endif

// With TESTEXT_START_FOLDER set, the library's start-up code changes the working folder to it.
struct StartFolder {
  StartFolder() {
    const char* folder = std::getenv("TESTEXT_START_FOLDER");
#ifdef _WIN32
    if (folder != nullptr) SetCurrentDirectoryA(folder);
#else
    if (folder != nullptr && ::chdir(folder) != 0) std::perror("testext: TESTEXT_START_FOLDER");
#endif
  }
} startFolder;

void writeText(char* output, std::int32_t outputSize, const std::string& text) {
  if (outputSize <= 0) return;
  std::size_t length = text.size() < static_cast<std::size_t>(outputSize - 1)
                           ? text.size()
                           : static_cast<std::size_t>(outputSize - 1);
  std::memcpy(output, text.data(), length);
  output[length] = '\0';
}

std::int32_t callBack(const char* name, const char* function, const char* data) {
  HostCallback callback = hostCallback.load();
  return callback != nullptr ? callback(name, function, data) : -1;
}

std::string describeReturns(std::int32_t firstOther) {
  return firstOther == 99 ? "returned 99" : "returned " + std::to_string(firstOther);
}

// Calls back `count` times with the data "<tag>:<i>"; answers how many calls returned 99.
long callBackRepeatedly(const char* function, const std::string& tag, long count, std::atomic<long>* fired) {
  long got99 = 0;
  std::string data;
  for (long i = 0; i < count; ++i) {
    data = tag + ":" + std::to_string(i);
    if (callBack("testext", function, data.c_str()) == 99) ++got99;
    if (fired != nullptr) ++*fired;
  }
  return got99;
}

// Keeps this library loaded until the process ends, so that threads left running in it
// never run unmapped code.
void pinLibrary() {
#ifdef _WIN32
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&pinLibrary), &self);
#else
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&pinLibrary), &info) != 0) {
    dlopen(info.dli_fname, RTLD_NOW | RTLD_NODELETE);
  }
#endif
}

// What the latest context call received, and how many there were.
std::mutex contextMutex;
std::string lastContext = "no context yet";
int contextCalls = 0;

// Line number, offset, file, scope, the content's length and its text from the offset to the
// line's end, per stack-trace line.
struct StackTraceLine {
  std::uint32_t lineNumber;
  std::uint32_t fileOffset;
  const char* sourceFile;
  const char* scopeName;
  const char* fileContent;
};
struct StackTrace {
  StackTraceLine* lines;
  std::uint32_t lineCount;
};

[[maybe_unused]] void recordContext(const char** args, unsigned int count, std::uint64_t flags) {
  std::string text;
  // Typed: the ID and the owner stand in their slots; a 32-bit host, whose pointers cannot hold
  // the 64-bit ID, gives texts whatever the flag.
  if ((flags & 1) && sizeof(void*) == 8) {
    text = "typed " + std::to_string(reinterpret_cast<std::uintptr_t>(args[0])) + "|" + args[1] + "|" +
           args[2] + "|" + args[3] + "|" +
           std::to_string(static_cast<std::uint16_t>(reinterpret_cast<std::uintptr_t>(args[4])));
  } else {
    text = std::string(args[0]) + "|" + args[1] + "|" + args[2] + "|" + args[3] + "|" + args[4];
  }
  if (count >= 6) {
    const StackTrace* trace = reinterpret_cast<const StackTrace*>(args[5]);
    for (std::uint32_t i = 0; i < trace->lineCount; ++i) {
      const StackTraceLine& line = trace->lines[i];
      std::string at(line.fileContent + line.fileOffset);
      text += " <" + std::to_string(line.lineNumber) + ":" + std::to_string(line.fileOffset) + " " +
              line.sourceFile + " (" + line.scopeName + ") " + std::to_string(std::strlen(line.fileContent)) +
              " bytes: " + at.substr(0, at.find('\n')) + ">";
    }
  }
  std::lock_guard<std::mutex> lock(contextMutex);
  lastContext.assign("#").append(std::to_string(++contextCalls)).append(" (").append(std::to_string(count));
  lastContext.append(") ").append(text);
}

std::string describeContext() {
  std::lock_guard<std::mutex> lock(contextMutex);
  return lastContext;
}

// Calls the host's RVExtensionRequestContext, looked up in the host program itself.
std::string requestContext(bool onOtherThread) {
#ifdef _WIN32
  HMODULE host = GetModuleHandleW(nullptr);
  auto request = reinterpret_cast<RequestContextFunction>(
      reinterpret_cast<void*>(GetProcAddress(host, "RVExtensionRequestContext")));
  if (sizeof(void*) == 4 && GetProcAddress(host, "_RVExtensionRequestContext@0") == nullptr) {
    return "no decorated RVExtensionRequestContext";
  }
#else
  auto request = reinterpret_cast<RequestContextFunction>(dlsym(RTLD_DEFAULT, "RVExtensionRequestContext"));
#endif
  if (request == nullptr) return "no RVExtensionRequestContext";
  if (onOtherThread) {
    std::thread(request).join();
  } else {
    request();
  }
  return describeContext();
}

#ifndef _WIN32
pid_t forkedChild = -1;
#endif

// The first line of the file `name` in the folder this library was loaded from.
std::string readBesideLibrary(const std::string& name) {
  std::string path;
#ifdef _WIN32
  HMODULE self = nullptr;
  char file[MAX_PATH * 4];
  if (GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&readBesideLibrary), &self)) {
    DWORD length = GetModuleFileNameA(self, file, sizeof file);
    if (length > 0 && length < sizeof file) path.assign(file, length);
  }
#else
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&readBesideLibrary), &info) != 0 && info.dli_fname != nullptr) {
    path = info.dli_fname;
  }
#endif
  std::string folder = path.substr(0, path.find_last_of("/\\") + 1);
  std::string line;
  if (std::FILE* file = std::fopen((folder + name).c_str(), "r")) {
    for (int c; (c = std::fgetc(file)) != EOF && c != '\n' && c != '\r';)
      line.push_back(static_cast<char>(c));
    std::fclose(file);
    return line;
  }
  return "no " + name + " beside " + path;
}

// Carries out one function text. Answers the result text; sets `code` for the argument form.
std::string run(const char* function, const char** argv, std::int32_t argc, char* output,
                std::int32_t outputSize, std::int32_t* code) {
  ++callCount;
  std::string text = function != nullptr ? function : "";
  std::size_t space = text.find(' ');
  std::string command = text.substr(0, space);
  std::string rest = space == std::string::npos ? "" : text.substr(space + 1);
  long number = std::strtol(rest.c_str(), nullptr, 10);

  if (command == "empty") return "";
  if (command == "bytes") {
    std::memset(output, 'x', static_cast<std::size_t>(number));
    return std::string();  // the caller must not overwrite what was written
  }
  if (command == "poke") {
    writeText(output, outputSize, "poked");
    output[number] = 'p';
    return "poked";
  }
  if (command == "before") {
    writeText(output, outputSize, "before");
    std::memset(output - number, 'x', static_cast<std::size_t>(number));
    return "before";
  }
  if (command == "latepoke") {
    char* end = nullptr;
    long delay = std::strtol(rest.c_str(), &end, 10);
    char* target = output + std::strtol(end, nullptr, 10);
    std::lock_guard<std::mutex> lock(background.mutex);
    background.threads.emplace_back([delay, target] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      *target = 'p';
    });
    return "started";
  }
#ifndef _WIN32
  if (command == "killself") {
    kill(getpid(), static_cast<int>(number));
    return "still alive";
  }
  if (command == "linger") {
    if (fork() == 0) {  // holds the host's standard output open while it sleeps
      usleep(static_cast<useconds_t>(number) * 1000);
      _exit(0);
    }
    return "lingering";
  }
  if (command == "fork") {
    forkedChild = fork();
    return "forked";
  }
  if (command == "reap") {
    int status = 0;
    if (waitpid(forkedChild, &status, 0) != forkedChild) return "no child";
    return WIFEXITED(status) ? "child ended " + std::to_string(WEXITSTATUS(status)) : "child killed";
  }
#endif
  if (command == "code") {
    *code = static_cast<std::int32_t>(number);
    return "code";
  }
  if (command == "print") {
    std::printf("%s\n", rest.c_str());
    return "printed";
  }
  if (command == "sleep") {
    std::this_thread::sleep_for(std::chrono::milliseconds(number));
    return "slept";
  }
  if (command == "callback") {
    std::int32_t firstOther = 99;
    for (long i = 0; i < number; ++i) {
      std::int32_t got = callBack("testext", "callback", std::to_string(i).c_str());
      if (got != 99 && firstOther == 99) firstOther = got;
    }
    return describeReturns(firstOther);
  }
  if (command == "threads" || command == "background") {
    char* end = nullptr;
    long threadCount = std::strtol(rest.c_str(), &end, 10);
    long perThread = std::strtol(end, nullptr, 10);
    if (command == "threads") {
      std::atomic<long> got99{0};
      std::vector<std::thread> started;
      for (long t = 0; t < threadCount; ++t) {
        started.emplace_back([t, perThread, &got99] {
          got99 += callBackRepeatedly("thread", std::to_string(t), perThread, nullptr);
        });
      }
      for (std::thread& thread : started) thread.join();
      return std::to_string(got99.load());
    }
    std::lock_guard<std::mutex> lock(background.mutex);
    for (long t = 0; t < threadCount; ++t) {
      background.threads.emplace_back([t, perThread] {
        background.returned99 +=
            callBackRepeatedly("background", std::to_string(t), perThread, &background.fired);
      });
    }
    return "started";
  }
  if (command == "later") {
    char* end = nullptr;
    long delay = std::strtol(rest.c_str(), &end, 10);
    long count = std::strtol(end, nullptr, 10);
    std::lock_guard<std::mutex> lock(background.mutex);
    background.threads.emplace_back([delay, count] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      background.returned99 += callBackRepeatedly("later", "0", count, &background.fired);
    });
    return "started";
  }
  if (command == "storm") {
    pinLibrary();
    for (long t = 0; t < number; ++t) {
      std::thread([t] {
        for (long i = 0;; ++i)
          callBack("testext", "storm", (std::to_string(t) + ":" + std::to_string(i)).c_str());
      }).detach();
    }
    return "started";
  }
  if (command == "async") {
    long milliseconds = std::strtol(rest.substr(rest.find(' ') + 1).c_str(), nullptr, 10);
    std::lock_guard<std::mutex> lock(asyncMutex);
    for (long t = 0; t < number; ++t) {
      asyncTasks.push_back(std::async(std::launch::async, [milliseconds, t] {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        callBack("testext", "async", std::to_string(t).c_str());
      }));
    }
    return "sending";
  }
  if (command == "idle") {
    pinLibrary();
    long milliseconds = std::strtol(rest.substr(rest.find(' ') + 1).c_str(), nullptr, 10);
    for (long t = 0; t < number; ++t) {
      std::thread([milliseconds] {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
      }).detach();
    }
    return "idling";
  }
  if (command == "open") {
#ifdef _WIN32
    return std::to_string(_open(rest.c_str(), _O_WRONLY | _O_CREAT | _O_APPEND, 0644));
#else
    return std::to_string(::open(rest.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644));
#endif
  }
  if (command == "chdir") {
#ifdef _WIN32
    return SetCurrentDirectoryA(rest.c_str()) ? "0" : "1";
#else
    return std::to_string(::chdir(rest.c_str()));
#endif
  }
  if (command == "beside") return readBesideLibrary(rest);
  if (command == "wait") {
    background.joinAll();
    background.fired = 0;
    return std::to_string(background.returned99.exchange(0));
  }
  if (command == "progress") return std::to_string(background.fired.load());
  if (command == "nullcallback") {
    std::int32_t first = callBack(nullptr, nullptr, nullptr);
    std::int32_t second = callBack("testext", nullptr, "data");
    return describeReturns(first != 99 ? first : second);
  }
  if (command == "argvend") return argv != nullptr && argv[argc] == nullptr ? "null" : "not null";
  if (command == "readpast") {
    const char** volatile vector = argv;           // read as it is, whatever the compiler knows of it
    const char* volatile past = vector[argc + 1];  // past the null pointer that ends them
    return past != nullptr ? "read" : "read a null pointer";
  }
  if (command == "args") {
    std::string result = std::to_string(argc);
    for (std::int32_t i = 0; i < argc; ++i) result += std::string("|") + argv[i];
    *code = argc;
    return result;
  }
  if (command == "burst") {
    long accepted = 0;
    std::int32_t first = -2;
    std::int32_t last = -2;
    for (long i = 0; i < number; ++i) {
      std::int32_t got = callBack("testext", "burst", std::to_string(i).c_str());
      if (got < 0) continue;
      ++accepted;
      if (first == -2) first = got;
      last = got;
    }
    std::string places =
        accepted > 0 ? " (places left " + std::to_string(first) + ".." + std::to_string(last) + ")" : "";
    return std::to_string(accepted) + " accepted" + places + ", " + std::to_string(number - accepted) +
           " refused";
  }
  if (command == "context") return describeContext();
  if (command == "flags") {
#if TESTEXT_FLAGS
    RVExtensionFeatureFlags = static_cast<std::uint64_t>(number);
    return "flags " + std::to_string(number);
#else
    return "no flags";
#endif
  }
  if (command == "request") return requestContext(rest == "thread");
  if (command == "calls") return std::to_string(callCount.load());
  if (command == "build") return "build " + std::to_string(TESTEXT_BUILD);
#if TESTEXT_UNIQUE
  if (command == "unique") return std::to_string(++uniqueCounter());
#endif
  if (command == "resident") {
    struct ThreadObject {
      std::string text = "resident";
      ~ThreadObject() { text.clear(); }
    };
    thread_local ThreadObject object;
    return object.text;
  }
  if (command == "registrations") return std::to_string(registrationCount.load());
  if (command == "locale") {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "German_Germany.1252", "de-DE"}) {
      if (std::setlocale(LC_ALL, name) != nullptr) {
        return std::string("decimal point ") + std::localeconv()->decimal_point;
      }
    }
    return "no German locale";
  }
  return text;
}

[[maybe_unused]] void answer(char* output, std::int32_t outputSize, const char* function, const char** argv,
                             std::int32_t argc, std::int32_t* code) {
  bool raw = function != nullptr && std::strncmp(function, "bytes ", 6) == 0;
  std::string result = run(function, argv, argc, output, outputSize, code);
  if (!raw) writeText(output, outputSize, result);
}

}  // namespace

#if !TESTEXT_MANGLED
extern "C" {
#endif

#if TESTEXT_EXPORT_VERSION
EXTENSION_EXPORT void EXTENSION_CALL RVExtensionVersion(char* output, std::int32_t outputSize) {
#if TESTEXT_VERSION_BEFORE > 0
  std::memset(output - TESTEXT_VERSION_BEFORE, 'x', TESTEXT_VERSION_BEFORE);
#endif
  std::string version = TESTEXT_VERSION_LENGTH > 0 ? std::string(TESTEXT_VERSION_LENGTH, 'v') : "testext 1.0";
  if (TESTEXT_VERSION_IGNORES_SIZE) {
    std::memcpy(output, version.c_str(), version.size() + 1);
  } else {
    // Copies up to the buffer's size, so a text of the full size leaves no terminator.
    std::size_t length = version.size() < static_cast<std::size_t>(outputSize)
                             ? version.size()
                             : static_cast<std::size_t>(outputSize);
    std::memcpy(output, version.data(), length);
  }
}
#endif

#if TESTEXT_EXPORT_CALL
EXTENSION_EXPORT void EXTENSION_CALL RVExtension(char* output, std::int32_t outputSize,
                                                 const char* function) {
  std::int32_t code = 0;
  answer(output, outputSize, function, nullptr, 0, &code);
}
#endif

#if TESTEXT_EXPORT_ARGS
EXTENSION_EXPORT std::int32_t EXTENSION_CALL RVExtensionArgs(char* output, std::int32_t outputSize,
                                                             const char* function, const char** argv,
                                                             std::int32_t argc) {
  std::int32_t code = 0;
  answer(output, outputSize, function, argv, argc, &code);
  return code;
}
#endif

#if TESTEXT_EXPORT_REGISTER
EXTENSION_EXPORT void EXTENSION_CALL RVExtensionRegisterCallback(HostCallback callback) {
  ++registrationCount;
  hostCallback = callback;
}
#endif

#if TESTEXT_CONTEXT
EXTENSION_EXPORT void EXTENSION_CALL RVExtensionContext(const char** args, unsigned int argsCnt) {
#if TESTEXT_FLAGS
  recordContext(args, argsCnt, RVExtensionFeatureFlags);
#else
  recordContext(args, argsCnt, 0);
#endif
}
#endif

#if TESTEXT_FLAGS_FUNCTION
EXTENSION_EXPORT std::uint64_t RVExtensionFeatureFlags() { return 1; }
#endif

#if !TESTEXT_MANGLED
}  // extern "C"
#endif
