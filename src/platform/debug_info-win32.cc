// Debug information on Windows through DbgHelp: the PDB beside the library (or where
// _NT_SYMBOL_PATH points), or what else DbgHelp reads of the image (DWARF, where it can).
//
// DbgHelp keeps one state per process handle and is not thread-safe: it is initialised once,
// on a handle of its own (so an extension's own use of DbgHelp on the process handle is not
// disturbed), and every call into it is made under one lock.
#include "platform/debug_info.h"

#include <windows.h>

#include <dbghelp.h>

#include <cwchar>
#include <mutex>

namespace platform {

namespace {

std::mutex dbgHelpMutex;
HANDLE dbgHelpProcess = nullptr;  // null until initialised; INVALID_HANDLE_VALUE when it failed

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
  std::lock_guard<std::mutex> lock(dbgHelpMutex);
  if (reader_->loaded) SymUnloadModule64(dbgHelpProcess, reader_->base);
}

bool ModuleDebugInfo::describe(std::uintptr_t address, CodePlace* place) {
  *place = CodePlace();
  std::lock_guard<std::mutex> lock(dbgHelpMutex);
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

}  // namespace platform
