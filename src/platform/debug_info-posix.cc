// Debug information on POSIX through elfutils' libdw: DWARF in the library or in a separate
// debug file (found by build ID or .gnu_debuglink, beside the library or under /usr/lib/debug),
// else the ELF symbol table.
#include "platform/debug_info.h"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>

namespace platform {

namespace {

// The directories searched for a separate debug file: the library's own, its .debug folder,
// and the system's debug tree.
char* debugInfoPath = nullptr;  // libdw's default: ":.debug:/usr/lib/debug"

const Dwfl_Callbacks kCallbacks = {
    dwfl_build_id_find_elf,
    dwfl_standard_find_debuginfo,
    dwfl_offline_section_address,
    &debugInfoPath,
};

bool isFunctionScope(Dwarf_Die* die) {
  int tag = dwarf_tag(die);
  return tag == DW_TAG_subprogram || tag == DW_TAG_inlined_subroutine;
}

// The function's linkage name (mangled for C++) where it has one, else its plain name; both
// looked up through the abstract origin and the declaration.
std::string functionName(Dwarf_Die* die) {
  Dwarf_Attribute attribute;
  for (int name : {DW_AT_linkage_name, DW_AT_MIPS_linkage_name, DW_AT_name}) {
    if (dwarf_attr_integrate(die, name, &attribute) != nullptr) {
      if (const char* text = dwarf_formstring(&attribute)) return text;
    }
  }
  return std::string();
}

int unsignedAttribute(Dwarf_Die* die, int name) {
  Dwarf_Attribute attribute;
  Dwarf_Word value = 0;
  if (dwarf_attr(die, name, &attribute) == nullptr || dwarf_formudata(&attribute, &value) != 0) return 0;
  return static_cast<int>(value);
}

std::string fileOfIndex(Dwarf_Die* unit, int index) {
  Dwarf_Files* files = nullptr;
  std::size_t count = 0;
  if (index <= 0 || dwarf_getsrcfiles(unit, &files, &count) != 0 ||
      static_cast<std::size_t>(index) >= count) {
    return std::string();
  }
  const char* name = dwarf_filesrc(files, static_cast<std::size_t>(index), nullptr, nullptr);
  return name != nullptr ? name : std::string();
}

}  // namespace

struct ModuleDebugInfo::Reader {
  std::string path;
  std::uintptr_t base = 0;
  Dwfl* session = nullptr;
  Dwfl_Module* module = nullptr;
  bool opened = false;

  ~Reader() {
    if (session != nullptr) dwfl_end(session);
  }

  Dwfl_Module* open() {
    if (opened) return module;
    opened = true;
    session = dwfl_begin(&kCallbacks);
    if (session == nullptr) return nullptr;
    dwfl_report_begin(session);
    module = dwfl_report_elf(session, path.c_str(), path.c_str(), -1, base, false);
    dwfl_report_end(session, nullptr, nullptr);
    return module;
  }

  // The inlined functions and the function at `address` from the unit's scopes, innermost
  // first: an inlined function's caller is at the line the inlined call was made from.
  bool lines(std::uintptr_t address, CodePlace* place) {
    Dwarf_Addr bias = 0;
    Dwarf_Die* unit = dwfl_module_addrdie(module, address, &bias);
    if (unit == nullptr) return false;
    Dwfl_Line* line = dwfl_module_getsrc(module, address);
    SourcePlace here;
    if (line != nullptr) {
      if (const char* file = dwfl_lineinfo(line, nullptr, &here.line, nullptr, nullptr, nullptr))
        here.file = file;
    }
    Dwarf_Die* scopes = nullptr;
    bool callerPending = false;
    int count = dwarf_getscopes(unit, address - bias, &scopes);
    for (int i = 0; i < count; ++i) {
      if (!isFunctionScope(&scopes[i])) continue;
      here.function = functionName(&scopes[i]);
      bool inlined = dwarf_tag(&scopes[i]) == DW_TAG_inlined_subroutine;
      SourcePlace caller;
      if (inlined) {
        caller.file = fileOfIndex(unit, unsignedAttribute(&scopes[i], DW_AT_call_file));
        caller.line = unsignedAttribute(&scopes[i], DW_AT_call_line);
      }
      place->places.push_back(std::move(here));
      here = std::move(caller);
      callerPending = inlined;
      if (!inlined) break;
    }
    free(scopes);
    // The scopes may end at an inlined call (an out-of-line copy the compiler made of the
    // function holding it): that function is still at the call's line.
    if (callerPending || place->places.empty()) place->places.push_back(std::move(here));
    if (place->places.back().file.empty() && place->places.back().function.empty()) place->places.pop_back();
    if (place->places.empty()) return false;
    // A function with internal linkage has no linkage name in the debug information; its
    // symbol has one, which tells its parameters and namespace.
    SourcePlace& function = place->places.back();
    CodePlace symbolPlace;
    if (!function.function.starts_with("_Z") && symbol(address, &symbolPlace) &&
        (symbolPlace.symbol.starts_with("_Z") || function.function.empty())) {
      function.function = symbolPlace.symbol;
    }
    return true;
  }

  // The symbol that contains `address` (its size known), from the symbol table.
  bool symbol(std::uintptr_t address, CodePlace* place) {
    GElf_Off offset = 0;
    GElf_Sym sym;
    const char* name = dwfl_module_addrinfo(module, address, &offset, &sym, nullptr, nullptr, nullptr);
    if (name == nullptr || name[0] == '\0' || sym.st_size == 0 || offset >= sym.st_size) return false;
    place->symbol = name;
    place->symbolOffset = static_cast<std::uintptr_t>(offset);
    return true;
  }
};

ModuleDebugInfo::ModuleDebugInfo(const std::string& path, std::uintptr_t base) : reader_(new Reader) {
  reader_->path = path;
  reader_->base = base;
}

ModuleDebugInfo::~ModuleDebugInfo() = default;

bool ModuleDebugInfo::describe(std::uintptr_t address, CodePlace* place) {
  *place = CodePlace();
  if (reader_->open() == nullptr) return false;
  return reader_->lines(address, place) || reader_->symbol(address, place);
}

}  // namespace platform
