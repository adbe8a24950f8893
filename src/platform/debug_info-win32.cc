// Debug information on Windows through DbgHelp: the PDB beside the library (or where
// _NT_SYMBOL_PATH points), or what else DbgHelp reads of the image (DWARF, where it can).
//
// DbgHelp keeps one state per process handle and is not thread-safe: it is initialised once,
// on a handle of its own (so an extension's own use of DbgHelp on the process handle is not
// disturbed), and every call into it is made under one lock.
#include "platform/debug_info.h"

#include <windows.h>

#include <dbghelp.h>

#include <atomic>
#include <cwchar>
#include <mutex>

#include "platform/dbghelp_stack_walk-win32.h"

namespace platform {

namespace {

std::mutex dbgHelpMutex;
std::atomic<DWORD> dbgHelpOwner{0};  // the thread holding dbgHelpMutex, 0 when none
HANDLE dbgHelpProcess = nullptr;     // null until initialised; INVALID_HANDLE_VALUE when it failed

// Holds dbgHelpMutex, saying which thread does: a fault taken inside DbgHelp must not wait for
// the lock its own thread holds.
class DbgHelpLock {
 public:
  DbgHelpLock() {
    dbgHelpMutex.lock();
    dbgHelpOwner.store(GetCurrentThreadId());
  }
  ~DbgHelpLock() {
    dbgHelpOwner.store(0);
    dbgHelpMutex.unlock();
  }
  DbgHelpLock(const DbgHelpLock&) = delete;
  DbgHelpLock& operator=(const DbgHelpLock&) = delete;
};

// The inline-frame queries, which older DbgHelp versions lack: looked up when present.
using AddrIncludeInlineTraceFunction = DWORD(WINAPI*)(HANDLE, DWORD64);
using QueryInlineTraceFunction = BOOL(WINAPI*)(HANDLE, DWORD64, DWORD, DWORD64, DWORD64, LPDWORD, LPDWORD);
using FromInlineContextFunction = BOOL(WINAPI*)(HANDLE, DWORD64, ULONG, PDWORD64, PSYMBOL_INFOW);
using GetLineFromInlineContextFunction = BOOL(WINAPI*)(HANDLE, DWORD64, ULONG, DWORD64, PDWORD,
                                                       PIMAGEHLP_LINEW64);
struct InlineQueries {
  AddrIncludeInlineTraceFunction includeInlineTrace = nullptr;
  QueryInlineTraceFunction queryInlineTrace = nullptr;
  FromInlineContextFunction fromInlineContext = nullptr;
  GetLineFromInlineContextFunction lineFromInlineContext = nullptr;
  bool present() const {
    return includeInlineTrace != nullptr && queryInlineTrace != nullptr && fromInlineContext != nullptr &&
           lineFromInlineContext != nullptr;
  }
};
InlineQueries inlineQueries;

template <class Function>
void lookUp(HMODULE module, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Under dbgHelpMutex. Answers whether DbgHelp is ready.
bool initialiseDbgHelp() {
  if (dbgHelpProcess == nullptr) {
    HANDLE own = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &own, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
      own = GetCurrentProcess();
    }
    SymSetOptions(SYMOPT_UNDNAME | SYMOPT_LOAD_LINES | SYMOPT_DEFERRED_LOADS | SYMOPT_FAIL_CRITICAL_ERRORS |
                  SYMOPT_NO_PROMPTS);
    dbgHelpProcess = SymInitializeW(own, nullptr, FALSE) ? own : INVALID_HANDLE_VALUE;
    if (HMODULE dbgHelp = GetModuleHandleW(L"dbghelp.dll")) {
      lookUp(dbgHelp, "SymAddrIncludeInlineTrace", &inlineQueries.includeInlineTrace);
      lookUp(dbgHelp, "SymQueryInlineTrace", &inlineQueries.queryInlineTrace);
      lookUp(dbgHelp, "SymFromInlineContextW", &inlineQueries.fromInlineContext);
      lookUp(dbgHelp, "SymGetLineFromInlineContextW", &inlineQueries.lineFromInlineContext);
    }
  }
  return dbgHelpProcess != INVALID_HANDLE_VALUE;
}

std::wstring wide(const std::string& text) {
  int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length);
  return result;
}

std::string utf8(const wchar_t* text) {
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return {};
  std::string result(static_cast<std::size_t>(bytes - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), bytes, nullptr, nullptr);
  return result;
}

// The library's folder, then _NT_SYMBOL_PATH: where DbgHelp looks for the library's PDB.
std::wstring searchPathFor(const std::wstring& path) {
  std::size_t slash = path.find_last_of(L"\\/");
  std::wstring search = slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
  wchar_t symbolPath[4096];
  DWORD length = GetEnvironmentVariableW(L"_NT_SYMBOL_PATH", symbolPath, 4096);
  if (length > 0 && length < 4096) search += L";" + std::wstring(symbolPath, length);
  return search;
}

// A SYMBOL_INFOW with room for a long name.
struct SymbolBuffer {
  SymbolBuffer() {
    info.SizeOfStruct = sizeof(SYMBOL_INFOW);
    info.MaxNameLen = kNameLength;
  }
  static constexpr ULONG kNameLength = 1024;
  SYMBOL_INFOW info = {};
  wchar_t rest[kNameLength] = {};
};

}  // namespace

struct ModuleDebugInfo::Reader {
  std::wstring path;
  std::uintptr_t base = 0;
  bool tried = false;   // the module was offered to DbgHelp
  bool loaded = false;  // and DbgHelp holds it
};

ModuleDebugInfo::ModuleDebugInfo(const std::string& path, std::uintptr_t base) : reader_(new Reader) {
  reader_->path = wide(path);
  reader_->base = base;
}

ModuleDebugInfo::~ModuleDebugInfo() {
  DbgHelpLock lock;
  if (reader_->loaded) SymUnloadModule64(dbgHelpProcess, reader_->base);
}

bool ModuleDebugInfo::describe(std::uintptr_t address, CodePlace* place) {
  *place = CodePlace();
  DbgHelpLock lock;
  Reader& reader = *reader_;
  if (!reader.tried) {
    reader.tried = true;
    if (!initialiseDbgHelp() || reader.path.empty()) return false;
    SymSetSearchPathW(dbgHelpProcess, searchPathFor(reader.path).c_str());
    SetLastError(ERROR_SUCCESS);
    // 0 with no error: DbgHelp already held a module at this base, the same one.
    reader.loaded = SymLoadModuleExW(dbgHelpProcess, nullptr, reader.path.c_str(), nullptr, reader.base, 0,
                                     nullptr, 0) != 0 ||
                    GetLastError() == ERROR_SUCCESS;
  }
  if (!reader.loaded) return false;
  HANDLE process = dbgHelpProcess;
  DWORD64 at = address;

  // Functions inlined at the address, innermost first.
  if (inlineQueries.present()) {
    DWORD inlined = inlineQueries.includeInlineTrace(process, at);
    DWORD context = 0;
    DWORD frameIndex = 0;
    if (inlined > 0 && inlineQueries.queryInlineTrace(process, at, 0, at, at, &context, &frameIndex)) {
      for (DWORD i = 0; i < inlined; ++i, ++context) {
        SymbolBuffer symbol;
        DWORD64 displacement = 0;
        if (!inlineQueries.fromInlineContext(process, at, context, &displacement, &symbol.info)) break;
        SourcePlace inner;
        inner.function = utf8(symbol.info.Name);
        IMAGEHLP_LINEW64 line = {};
        line.SizeOfStruct = sizeof line;
        DWORD lineDisplacement = 0;
        if (inlineQueries.lineFromInlineContext(process, at, context, 0, &lineDisplacement, &line)) {
          inner.file = line.FileName != nullptr ? utf8(line.FileName) : std::string();
          inner.line = static_cast<int>(line.LineNumber);
        }
        place->places.push_back(std::move(inner));
      }
    }
  }

  // The function that holds the address, named only when the address is known to lie inside
  // it: a symbol of no size (an export, a public symbol) may be far away.
  SymbolBuffer symbol;
  DWORD64 displacement = 0;
  std::string function;
  if (SymFromAddrW(process, at, &displacement, &symbol.info) && symbol.info.Size != 0 &&
      displacement < symbol.info.Size) {
    function = utf8(symbol.info.Name);
  }
  IMAGEHLP_LINEW64 line = {};
  line.SizeOfStruct = sizeof line;
  DWORD lineDisplacement = 0;
  if (SymGetLineFromAddrW64(process, at, &lineDisplacement, &line) && line.FileName != nullptr) {
    SourcePlace outer;
    outer.function = function;
    outer.file = utf8(line.FileName);
    outer.line = static_cast<int>(line.LineNumber);
    // Several line records may begin at the address (a declaration's, then the statement's): the
    // last is the one the instruction belongs to, as addr2line and the platform's debuggers say.
    // (The file name of a record lives in DbgHelp's buffer only until the next query.)
    DWORD64 begin = line.Address;
    while (SymGetLineNextW64(process, &line) && line.Address == begin && line.FileName != nullptr) {
      outer.file = utf8(line.FileName);
      outer.line = static_cast<int>(line.LineNumber);
    }
    place->places.push_back(std::move(outer));
    return true;
  }
  if (!place->places.empty()) {
    place->places.push_back(SourcePlace{function, {}, 0});
    return true;
  }
  if (function.empty()) return false;
  place->symbol = function;
  place->symbolOffset = static_cast<std::uintptr_t>(displacement);
  return true;
}

#ifndef _WIN64
namespace {

// The base of the module holding `address`, for the 32-bit walk: a module DbgHelp has not
// read yet is read here, so that its frame data unwinds the frames inside it.
DWORD64 CALLBACK moduleBaseOfWalk(HANDLE process, DWORD64 address) {
  if (DWORD64 base = SymGetModuleBase64(process, address)) return base;
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(static_cast<std::uintptr_t>(address)), &module)) {
    return 0;
  }
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return 0;
  // Read as a report reads it (a PDB beside the module), and kept: the report that follows
  // names the frames from it, and lets it go when the library is freed.
  const auto base = reinterpret_cast<DWORD64>(module);
  SymSetSearchPathW(process, searchPathFor(path).c_str());
  if (SymLoadModuleExW(process, nullptr, path, nullptr, base, 0, nullptr, 0) == 0) return 0;
  return base;
}

}  // namespace
#endif

bool walkStackWithDbgHelp(void* context, bool (*visit)(void* data, std::uintptr_t address), void* data) {
#ifdef _WIN64
  (void)context;
  (void)visit;
  (void)data;
  return false;  // the 64-bit walk reads the unwind tables itself
#else
  if (dbgHelpOwner.load() == GetCurrentThreadId()) return false;
  DbgHelpLock lock;
  if (!initialiseDbgHelp()) return false;
  auto& registers = *static_cast<CONTEXT*>(context);
  STACKFRAME64 frame = {};
  frame.AddrPC.Offset = registers.Eip;
  frame.AddrPC.Mode = AddrModeFlat;
  frame.AddrFrame.Offset = registers.Ebp;
  frame.AddrFrame.Mode = AddrModeFlat;
  frame.AddrStack.Offset = registers.Esp;
  frame.AddrStack.Mode = AddrModeFlat;
  bool walked = false;
  DWORD64 previousStack = 0;
  while (StackWalk64(IMAGE_FILE_MACHINE_I386, dbgHelpProcess, GetCurrentThread(), &frame, &registers, nullptr,
                     SymFunctionTableAccess64, moduleBaseOfWalk, nullptr)) {
    if (frame.AddrPC.Offset == 0) break;
    if (walked && frame.AddrStack.Offset <= previousStack) break;  // not rising: no more frames
    walked = true;
    previousStack = frame.AddrStack.Offset;
    if (!visit(data, static_cast<std::uintptr_t>(frame.AddrPC.Offset))) break;
  }
  return walked;
#endif
}

}  // namespace platform
