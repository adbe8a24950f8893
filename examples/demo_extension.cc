// A small extension library bundled with invokemodule to show what the host does.
//
//   "demo" invokeModule "hello"                   answers with a greeting
//   "demo" invokeModule "<any text>"              answers with the text reversed
//   "demo" invokeModule ["sum", [1, 2, 3.5]]      adds the numbers; returns their count
//   "demo" invokeModule ["notify", ["ping"]]      answers at once, then sends each argument
//                                                 back through the callback from a thread of
//                                                 its own a moment later
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
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

typedef std::int32_t (*HostCallback)(const char* name, const char* function, const char* data);

namespace {

HostCallback hostCallback = nullptr;

// The notifier thread is joined before the next one starts and when the library is unloaded,
// so no thread runs code of an unmapped library.
struct Notifier {
  std::mutex mutex;
  std::thread thread;
  ~Notifier() { join(); }
  void join() {
    std::lock_guard<std::mutex> lock(mutex);
    if (thread.joinable()) thread.join();
  }
};
Notifier notifier;

void writeText(char* output, std::int32_t outputSize, const std::string& text) {
  if (outputSize <= 0) return;
  std::size_t length = text.size() < static_cast<std::size_t>(outputSize - 1)
                           ? text.size()
                           : static_cast<std::size_t>(outputSize - 1);
  std::memcpy(output, text.data(), length);
  output[length] = '\0';
}

// Argument texts come in the game's notation: strings keep their quotes.
std::string unquote(const char* text) {
  std::string value = text;
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    value = value.substr(1, value.size() - 2);
  }
  return value;
}

}  // namespace

extern "C" {

EXTENSION_EXPORT void EXTENSION_CALL RVExtensionVersion(char* output, std::int32_t outputSize) {
  writeText(output, outputSize, "demo 1.0");
}

EXTENSION_EXPORT void EXTENSION_CALL RVExtensionRegisterCallback(HostCallback callback) {
  hostCallback = callback;
}

EXTENSION_EXPORT void EXTENSION_CALL RVExtension(char* output, std::int32_t outputSize,
                                                 const char* function) {
  std::string text = function;
  if (text == "hello") {
    writeText(output, outputSize, "Hello from the demo extension!");
    return;
  }
  writeText(output, outputSize, std::string(text.rbegin(), text.rend()));
}

EXTENSION_EXPORT std::int32_t EXTENSION_CALL RVExtensionArgs(char* output, std::int32_t outputSize,
                                                             const char* function, const char** argv,
                                                             std::int32_t argc) {
  std::string name = function;
  if (name == "sum") {
    double sum = 0;
    for (std::int32_t i = 0; i < argc; ++i) sum += std::strtod(argv[i], nullptr);
    char text[64];
    std::snprintf(text, sizeof text, "%g", sum);
    writeText(output, outputSize, text);
    return argc;
  }
  if (name == "notify") {
    std::vector<std::string> messages;
    for (std::int32_t i = 0; i < argc; ++i) messages.push_back(unquote(argv[i]));
    notifier.join();
    std::lock_guard<std::mutex> lock(notifier.mutex);
    notifier.thread = std::thread([messages] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      for (const std::string& message : messages) {
        if (hostCallback != nullptr) hostCallback("demo", "notify", message.c_str());
      }
    });
    writeText(output, outputSize, "notifying soon");
    return 0;
  }
  writeText(output, outputSize, "unknown function: " + name);
  return -1;
}

}  // extern "C"
