// Export tables (ELF dynamic symbols, PE export directory) and the diagnosis of missing entry points.
#include "extensions/library_exports.h"
#include "values/plain_text.h"

#include <cstdint>
#include <cstring>

namespace {

// Little-endian reads that fail (answer false) instead of reading past the end.
struct Bytes {
  const unsigned char* data;
  std::size_t size;
  bool read(std::uint64_t at, unsigned width, std::uint64_t* value) const {
    if (at > size || size - at < width) return false;
    *value = 0;
    for (unsigned i = width; i-- > 0;) *value = *value << 8 | data[at + i];
    return true;
  }
  // The zero-terminated text at `at`, or false when it runs past the end.
  bool text(std::uint64_t at, std::string* out) const {
    if (at >= size) return false;
    const void* end = std::memchr(data + at, 0, size - at);
    if (end == nullptr) return false;
    out->assign(reinterpret_cast<const char*>(data + at),
                static_cast<const unsigned char*>(end) - (data + at));
    return true;
  }
};

// The entry point whose name `symbol` holds (the longest such name), or -1.
int entryPointIn(std::string_view symbol) {
  // The newer exports, whose names hold "RVExtension" too, are none of the four.
  for (std::string_view other : {kContextEntryPoint.plain, kFeatureFlagsExport}) {
    if (symbol.find(other) != std::string_view::npos) return -1;
  }
  int best = -1;
  for (int i = 0; i < 4; ++i) {
    std::string_view plain = kEntryPointNames[i].plain;
    if (symbol.find(plain) != std::string_view::npos &&
        (best < 0 || plain.size() > std::strlen(kEntryPointNames[best].plain))) {
      best = i;
    }
  }
  return best;
}

bool looksClose(std::string_view symbol) {
  return toLowerAscii(symbol).find("rvextension") != std::string::npos;
}

}  // namespace

namespace {

// One symbol of an ELF file's dynamic symbol table.
struct ElfSymbol {
  std::string name;
  unsigned binding = 0;  // 0 local, 1 global, 2 weak, 10 GNU unique
  unsigned type = 0;     // 2 function, 10 indirect function, ...
  bool defined = false;  // in a section of the file, not imported
};

// Hands `visit` every named symbol of the dynamic symbol table of an ELF file of this byte
// order; nothing when the bytes are no such file or are cut short.
template <class Visit>
void forEachElfDynamicSymbol(std::string_view file, Visit visit) {
  Bytes bytes{reinterpret_cast<const unsigned char*>(file.data()), file.size()};
  if (file.size() < 0x40 ||
      file.substr(0, 4) !=
          "\x7f"
          "ELF" ||
      file[5] != 1)
    return;
  bool wide = file[4] == 2;
  std::uint64_t sectionTable, entrySize, count;
  if (!bytes.read(wide ? 0x28 : 0x20, wide ? 8 : 4, &sectionTable) ||
      !bytes.read(wide ? 0x3a : 0x2e, 2, &entrySize) || !bytes.read(wide ? 0x3c : 0x30, 2, &count)) {
    return;
  }
  auto field = [&](std::uint64_t section, unsigned offset64, unsigned offset32, bool address,
                   std::uint64_t* value) {
    unsigned width = wide && address ? 8 : 4;
    return bytes.read(sectionTable + section * entrySize + (wide ? offset64 : offset32), width, value);
  };
  for (std::uint64_t section = 0; section < count; ++section) {
    std::uint64_t type, offset, size, link, symbolSize;
    if (!field(section, 4, 4, false, &type) || type != 11) continue;  // SHT_DYNSYM
    if (!field(section, 24, 16, true, &offset) || !field(section, 32, 20, true, &size) ||
        !field(section, 40, 24, false, &link) || !field(section, 56, 36, true, &symbolSize) ||
        symbolSize == 0) {
      return;
    }
    std::uint64_t stringsOffset;
    if (!field(link, 24, 16, true, &stringsOffset)) return;
    ElfSymbol symbol;
    for (std::uint64_t at = offset + symbolSize; at + symbolSize <= offset + size; at += symbolSize) {
      std::uint64_t nameOffset, info, sectionIndex;
      if (!bytes.read(at, 4, &nameOffset) || !bytes.read(at + (wide ? 4 : 12), 1, &info) ||
          !bytes.read(at + (wide ? 6 : 14), 2, &sectionIndex)) {
        break;
      }
      if (!bytes.text(stringsOffset + nameOffset, &symbol.name) || symbol.name.empty()) continue;
      symbol.binding = static_cast<unsigned>(info >> 4);
      symbol.type = static_cast<unsigned>(info & 0xf);
      symbol.defined = sectionIndex != 0;
      visit(symbol);
    }
  }
}

}  // namespace

std::vector<std::string> elfExportedNames(std::string_view file, std::vector<std::string>* functions) {
  std::vector<std::string> names;
  forEachElfDynamicSymbol(file, [&](const ElfSymbol& symbol) {
    if (!symbol.defined || (symbol.binding != 1 && symbol.binding != 2)) return;  // imported, or local
    if (functions != nullptr && (symbol.type == 2 || symbol.type == 10)) functions->push_back(symbol.name);
    names.push_back(symbol.name);
  });
  return names;
}

ResidencyCauses elfResidencyCauses(std::string_view file) {
  ResidencyCauses causes;
  forEachElfDynamicSymbol(file, [&](const ElfSymbol& symbol) {
    if (symbol.defined && symbol.binding == 10) causes.gnuUnique = true;
    if (!symbol.defined &&
        (symbol.name == "__cxa_thread_atexit_impl" || symbol.name == "__cxa_thread_atexit")) {
      causes.threadLocalDestructors = true;
    }
  });
  return causes;
}

std::vector<std::string> elfGnuUniqueNames(std::string_view file) {
  std::vector<std::string> names;
  forEachElfDynamicSymbol(file, [&](const ElfSymbol& symbol) {
    if (symbol.defined && symbol.binding == 10) names.push_back(symbol.name);
  });
  return names;
}

bool elfCoverageInstrumented(std::string_view file) {
  bool instrumented = false;
  forEachElfDynamicSymbol(file, [&](const ElfSymbol& symbol) {
    if (!symbol.defined && (symbol.name == "__sanitizer_cov_8bit_counters_init" ||
                            symbol.name == "__sanitizer_cov_trace_pc_guard_init")) {
      instrumented = true;
    }
  });
  return instrumented;
}

bool elfAddressSanitized(std::string_view file) {
  bool sanitized = false;
  forEachElfDynamicSymbol(file, [&](const ElfSymbol& symbol) {
    if (!symbol.defined && symbol.name.substr(0, 7) == "__asan_") sanitized = true;
  });
  return sanitized;
}

std::vector<std::string> peExportedNames(const void* image) {
  std::vector<std::string> names;
  Bytes bytes{static_cast<const unsigned char*>(image), 0x40};
  std::uint64_t header, signature, magic, imageSize, directory, nameCount, nameTable;
  if (!bytes.read(0x3c, 4, &header) || header > 0x1000) return names;
  bytes.size = header + 24 + 60;  // the headers up to the image size field
  std::uint64_t optional = header + 24;
  if (!bytes.read(header, 4, &signature) || signature != 0x4550 || !bytes.read(optional, 2, &magic) ||
      !bytes.read(optional + 56, 4, &imageSize)) {
    return names;
  }
  bytes.size = imageSize;
  std::uint64_t directoryAt = optional + (magic == 0x20b ? 112 : 96);
  if (!bytes.read(directoryAt, 4, &directory) || directory == 0) return names;
  if (!bytes.read(directory + 24, 4, &nameCount) || !bytes.read(directory + 32, 4, &nameTable)) return names;
  for (std::uint64_t i = 0; i < nameCount; ++i) {
    std::uint64_t nameAt;
    std::string name;
    if (!bytes.read(nameTable + 4 * i, 4, &nameAt) || !bytes.text(nameAt, &name)) break;
    names.push_back(std::move(name));
  }
  return names;
}

bool peAddressIsCode(const void* image, const void* address) {
  Bytes bytes{static_cast<const unsigned char*>(image), 0x40};
  std::uint64_t header, sectionCount, optionalSize, imageSize;
  if (!bytes.read(0x3c, 4, &header) || header > 0x1000) return false;
  bytes.size = header + 24 + 60;
  if (!bytes.read(header + 6, 2, &sectionCount) || !bytes.read(header + 20, 2, &optionalSize) ||
      !bytes.read(header + 24 + 56, 4, &imageSize)) {
    return false;
  }
  bytes.size = imageSize;
  const auto rva = static_cast<std::uint64_t>(static_cast<const unsigned char*>(address) - bytes.data);
  std::uint64_t table = header + 24 + optionalSize;
  for (std::uint64_t i = 0; i < sectionCount; ++i) {
    std::uint64_t at = table + 40 * i, virtualSize, virtualAddress, characteristics;
    if (!bytes.read(at + 8, 4, &virtualSize) || !bytes.read(at + 12, 4, &virtualAddress) ||
        !bytes.read(at + 36, 4, &characteristics)) {
      return false;
    }
    if (rva >= virtualAddress && rva < virtualAddress + virtualSize) {
      return (characteristics & 0x20000020) != 0;  // IMAGE_SCN_MEM_EXECUTE or IMAGE_SCN_CNT_CODE
    }
  }
  return false;
}

std::vector<std::string> exportProblems(const std::vector<std::string>& exported,
                                        const std::array<bool, 4>& found, const ExportRules& rules) {
  std::vector<std::string> lines;
  std::vector<std::string> close;
  for (const std::string& symbol : exported) {
    int entry = entryPointIn(symbol);
    if (entry < 0) {
      if (looksClose(symbol)) close.push_back(symbol);
      continue;
    }
    if (found[entry]) continue;
    const EntryPointName& wanted = kEntryPointNames[entry];
    if (symbol.starts_with("_Z") || symbol.starts_with("?")) {
      lines.push_back(symbol + " is a C++ name: declare the entry points extern \"C\"");
    } else if (rules.decoratedOnly) {
      // A .def file alone links cdecl functions under the decorated names, and their first
      // call corrupts the stack: the convention comes first.
      lines.push_back(symbol + " should be " + wanted.decorated +
                      ": declare the entry points __stdcall, then export them under their decorated names "
                      "(a .def file)");
    } else if (symbol != wanted.plain) {
      lines.push_back(symbol + " should be " + wanted.plain + ": this host looks up the plain names" +
                      (rules.peLibraries ? "; give them in a .def file" : ""));
    }
  }
  bool noneFound = !found[0] && !found[1] && !found[2] && !found[3];
  if (noneFound && lines.empty()) {
    if (close.empty()) {
      lines.push_back("exports nothing that looks like an entry point");
    } else {
      std::string list;
      for (const std::string& name : close) list += (list.empty() ? "" : ", ") + name;
      lines.push_back("exports none of the entry points; names that look close: " + list);
    }
  }
  return lines;
}

std::vector<std::string> decoratedNameProblems(const std::array<bool, 4>& foundDecorated,
                                               const ExportRules& rules) {
  std::vector<std::string> lines;
  if (rules.decoratedOnly) return lines;
  for (std::size_t entry = 0; entry < foundDecorated.size(); ++entry) {
    if (!foundDecorated[entry]) continue;
    const EntryPointName& name = kEntryPointNames[entry];
    lines.push_back(std::string(name.decorated) + " should be " + name.plain +
                    ": the game looks up the plain names on this platform" +
                    (rules.peLibraries ? "; give them in a .def file" : ""));
  }
  return lines;
}
