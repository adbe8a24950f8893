# Builds an extension library with the platform's conventional file name; shared by the bundled
# demo extension, the benchmarks' extensions and the test extensions.
include_guard(GLOBAL)

# invokemodule_add_extension_library(<target> <base name> <output directory> <sources>...):
# a MODULE library named <base>_x64.so on 64-bit POSIX, <base>.so on 32-bit POSIX,
# <base>_x64.dll on 64-bit Windows and <base>.dll on 32-bit Windows, whose exports use the
# calling convention that the host expects (EXTENSION_CALL: stdcall on 32-bit Windows).
function(invokemodule_add_extension_library target base directory)
  add_library(${target} MODULE ${ARGN})
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(name ${base}_x64)
  else()
    set(name ${base})
  endif()
  if(WIN32)
    set(suffix .dll)
  else()
    set(suffix .so)
  endif()
  # $<1:...> keeps multi-configuration generators from adding a per-configuration folder.
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME ${name}
    SUFFIX ${suffix}
    LIBRARY_OUTPUT_DIRECTORY $<1:${directory}>
    RUNTIME_OUTPUT_DIRECTORY $<1:${directory}>)
  if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_compile_definitions(${target} PRIVATE EXTENSION_CALL=__stdcall)
  endif()
  if(NOT WIN32)
    # Only the entry points are visible, and no symbol is a GNU "unique" one: otherwise other
    # libraries bind to the library's copies of inline library code and dlclose can never
    # unload it, so a freed extension would keep its state.
    set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
    target_compile_definitions(${target} PRIVATE
      "EXTENSION_EXPORT=__attribute__((visibility(\"default\")))")
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      target_compile_options(${target} PRIVATE -fno-gnu-unique)
    endif()
  endif()
endfunction()

# Writes the module-definition file that names a variant's exports on Windows: the stdcall-
# decorated names on 32-bit Windows, the plain names on 64-bit Windows. An item without "@"
# (a variable, e.g. "RVExtensionFeatureFlags DATA") is written as it is.
function(invokemodule_extension_def_file target exports)
  set(text "EXPORTS\n")
  foreach(export IN LISTS exports)
    if(NOT export MATCHES "@")
      # A data export or a cdecl function: the plain name on every build.
      string(APPEND text "  ${export}\n")
      continue()
    endif()
    string(REPLACE "@" ";" parts "${export}")
    list(GET parts 0 plain)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      # MinGW names the stdcall symbol <name>@<bytes>; the export gets the leading underscore.
      string(APPEND text "  _${export} = ${export}\n")
    else()
      string(APPEND text "  ${plain}\n")
    endif()
  endforeach()
  set(def ${CMAKE_CURRENT_BINARY_DIR}/${target}.def)
  file(WRITE ${def} "${text}")
  target_sources(${target} PRIVATE ${def})
endfunction()
