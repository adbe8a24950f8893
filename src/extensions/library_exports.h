// Reading a library's export table and telling how it misses the entry points the host looks
// for: names mangled by C++, decorated the wrong way, or nothing like an entry point at all.
#ifndef INVOKEMODULE_EXTENSIONS_LIBRARY_EXPORTS_H_
#define INVOKEMODULE_EXTENSIONS_LIBRARY_EXPORTS_H_

#include <array>
#include <string>
#include <string_view>
#include <vector>

// The names an ELF file exports (defined global or weak dynamic symbols); empty when the bytes
// are no ELF file of this byte order or are cut short. `functions`, when given, gets those of
// them that are code (functions, indirect functions).
std::vector<std::string> elfExportedNames(std::string_view file,
                                          std::vector<std::string>* functions = nullptr);

// What in an ELF file makes the system keep its library in memory after it is freed: symbols
// of GNU unique binding (GCC's for inline function statics and template statics), or
// destructors of thread-local objects registered with the C++ runtime.
struct ResidencyCauses {
  bool gnuUnique = false;
  bool threadLocalDestructors = false;
};
ResidencyCauses elfResidencyCauses(std::string_view file);

// The names of the GNU unique symbols an ELF file defines; empty when the bytes are no ELF file
// of this byte order or are cut short.
std::vector<std::string> elfGnuUniqueNames(std::string_view file);

// True when an ELF file imports the hooks of clang's coverage instrumentation for fuzzing
// (built with -fsanitize=fuzzer-no-link): the coverage-guided search can steer by it.
bool elfCoverageInstrumented(std::string_view file);

// True when an ELF file imports AddressSanitizer's functions (built with -fsanitize=address): it
// loads only into a process that started with the sanitizer's runtime.
bool elfAddressSanitized(std::string_view file);

// Whether `address` lies in an executable section of the PE image mapped at `image`.
bool peAddressIsCode(const void* image, const void* address);

// The names in the export directory of a PE image mapped at `image` (every read stays within
// the image size its header gives).
std::vector<std::string> peExportedNames(const void* image);

// The four entry points, in the order of `found` below.
struct EntryPointName {
  const char* plain;      // RVExtension
  const char* decorated;  // _RVExtension@12, the 32-bit Windows name
  const char* prototype;  // how the game declares it
};
inline constexpr EntryPointName kVersionEntryPoint = {
    "RVExtensionVersion", "_RVExtensionVersion@8",
    "void __stdcall RVExtensionVersion(char* output, int outputSize)"};
inline constexpr EntryPointName kCallEntryPoint = {
    "RVExtension", "_RVExtension@12",
    "void __stdcall RVExtension(char* output, int outputSize, const char* function)"};
inline constexpr EntryPointName kArgsEntryPoint = {
    "RVExtensionArgs", "_RVExtensionArgs@20",
    "int __stdcall RVExtensionArgs(char* output, int outputSize, const char* function, const char** argv, "
    "int argc)"};
inline constexpr EntryPointName kRegisterEntryPoint = {
    "RVExtensionRegisterCallback", "_RVExtensionRegisterCallback@4",
    "void __stdcall RVExtensionRegisterCallback(int (*callback)(const char* name, const char* function, "
    "const char* data))"};
inline constexpr std::array<EntryPointName, 4> kEntryPointNames = {kVersionEntryPoint, kCallEntryPoint,
                                                                   kArgsEntryPoint, kRegisterEntryPoint};
// The newer exports: the variable of feature flags (plain name on every build), and the entry
// point that receives the call context.
inline constexpr const char* kFeatureFlagsExport = "RVExtensionFeatureFlags";
inline constexpr EntryPointName kContextEntryPoint = {
    "RVExtensionContext", "_RVExtensionContext@8",
    "void __stdcall RVExtensionContext(const char** args, unsigned int argsCnt)"};

// How the host looks entry points up.
struct ExportRules {
  bool decoratedOnly = false;  // 32-bit Windows: only the stdcall-decorated names
  bool peLibraries = false;    // Windows libraries (the fix names a .def file)
};

// One line per problem with its fix, for a library whose entry points `found` (in the order of
// kEntryPointNames) are not all there. Empty when the exports explain nothing.
std::vector<std::string> exportProblems(const std::vector<std::string>& exported,
                                        const std::array<bool, 4>& found, const ExportRules& rules);

// One line per entry point that was found only under its 32-bit decorated name on a platform
// where the game looks up the plain names (`foundDecorated` in the order of kEntryPointNames):
// the host calls it, the game would not find it.
std::vector<std::string> decoratedNameProblems(const std::array<bool, 4>& foundDecorated,
                                               const ExportRules& rules);

#endif  // INVOKEMODULE_EXTENSIONS_LIBRARY_EXPORTS_H_
