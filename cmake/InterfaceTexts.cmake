# Reads the texts of the commands, options, script lines and environment (one data file, see
# its head for the format) and writes, at configure time, the header of the tables' texts for
# the code and the man page. Neither runs the program, so cross builds make them too.
include_guard(GLOBAL)

# The text of field `index` of the row `fields`: blanks stripped, "-" read as empty, and the
# characters that CMake's lists cannot carry put back.
function(_interface_field fields index out)
  list(GET fields ${index} value)
  string(STRIP "${value}" value)
  if(value STREQUAL "-")
    set(value "")
  endif()
  string(REPLACE "@SEMICOLON@" ";" value "${value}")
  string(REPLACE "@OPEN@" "[" value "${value}")
  string(REPLACE "@CLOSE@" "]" value "${value}")
  string(REPLACE "@BACKSLASH@" "\\" value "${value}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

# A C string literal holding `text`.
function(_interface_c_string text out)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

# `text` as a roff text line: backslashes and minus signs escaped, a leading control
# character made plain.
function(_interface_roff text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  if(text MATCHES "^[.']")
    set(text "\\&${text}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Writes `content` to `path` unless it holds that already, so nothing rebuilds needlessly.
function(_interface_write path content)
  if(EXISTS ${path})
    file(READ ${path} old)
    if(old STREQUAL content)
      return()
    endif()
  endif()
  file(WRITE ${path} "${content}")
endfunction()

# yes/no to a C++ bool; anything else stops the configuration.
function(_interface_flag text row out)
  if(text STREQUAL "yes")
    set(${out} true PARENT_SCOPE)
  elseif(text STREQUAL "no")
    set(${out} false PARENT_SCOPE)
  else()
    message(FATAL_ERROR "interface texts: expected yes or no, got '${text}' in: ${row}")
  endif()
endfunction()

# invokemodule_interface_texts(<data file> <header> <man page>); sets INVOKEMODULE_SUMMARY.
function(invokemodule_interface_texts data header manpage)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${data})
  file(READ ${data} content)
  # A ";" would split a list item, brackets would join items, a backslash would escape.
  string(REPLACE "\\" "@BACKSLASH@" content "${content}")
  string(REPLACE ";" "@SEMICOLON@" content "${content}")
  string(REPLACE "[" "@OPEN@" content "${content}")
  string(REPLACE "]" "@CLOSE@" content "${content}")
  string(REPLACE "\n" ";" lines "${content}")

  set(field_counts summary 2 synopsis 2 description 2 command 6 script 3 environment 3 option 7)
  set(c_description "")
  set(c_commands "")
  set(c_scripts "")
  set(c_environment "")
  set(c_options "")
  set(man_description "")
  set(man_commands "")
  set(man_scripts "")
  set(man_environment "")
  set(man_options "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*(#|$)")
      continue()
    endif()
    string(REPLACE "|" ";" fields "${line}")
    _interface_field("${fields}" 0 kind)
    list(FIND field_counts "${kind}" kind_at)
    list(LENGTH fields count)
    if(kind_at EQUAL -1)
      message(FATAL_ERROR "interface texts: unknown row kind '${kind}' in: ${line}")
    endif()
    math(EXPR count_at "${kind_at} + 1")
    list(GET field_counts ${count_at} expected)
    if(NOT count EQUAL expected)
      message(FATAL_ERROR
        "interface texts: ${kind} rows have ${expected} fields, not ${count}: ${line}")
    endif()

    if(kind STREQUAL "summary" OR kind STREQUAL "synopsis")
      _interface_field("${fields}" 1 text)
      set(${kind} "${text}")
    elseif(kind STREQUAL "description")
      _interface_field("${fields}" 1 text)
      _interface_c_string("${text}" c_text)
      _interface_roff("${text}" roff)
      string(APPEND c_description " \\\n  X(${c_text})")
      if(man_description)
        string(APPEND man_description ".PP\n")
      endif()
      string(APPEND man_description "${roff}\n")
    elseif(kind STREQUAL "command")
      _interface_field("${fields}" 1 id)
      _interface_field("${fields}" 2 usage)
      _interface_field("${fields}" 3 word)
      _interface_field("${fields}" 4 banner)
      _interface_field("${fields}" 5 about)
      _interface_flag("${banner}" "${line}" banner)
      _interface_c_string("${usage}" c_usage)
      _interface_c_string("${word}" c_word)
      _interface_c_string("${about}" c_about)
      string(APPEND c_commands " \\\n  X(${id}, ${c_usage}, ${c_word}, ${banner}, ${c_about})")
      _interface_roff("${usage}" roff_usage)
      _interface_roff("${about}" roff_about)
      string(APPEND man_commands ".TP\n\\fB${roff_usage}\\fR\n${roff_about}\n")
    elseif(kind STREQUAL "script" OR kind STREQUAL "environment")
      _interface_field("${fields}" 1 name)
      _interface_field("${fields}" 2 about)
      _interface_c_string("${name}" c_name)
      _interface_c_string("${about}" c_about)
      _interface_roff("${name}" roff_name)
      _interface_roff("${about}" roff_about)
      if(kind STREQUAL "script")
        string(APPEND c_scripts " \\\n  X(${c_name}, ${c_about})")
        string(APPEND man_scripts ".TP\n\\fB${roff_name}\\fR\n${roff_about}\n")
      else()
        string(APPEND c_environment " \\\n  X(${c_name}, ${c_about})")
        string(APPEND man_environment ".TP\n\\fB${roff_name}\\fR\n${roff_about}\n")
      endif()
    else()  # option
      _interface_field("${fields}" 1 id)
      _interface_field("${fields}" 2 spellings)
      _interface_field("${fields}" 3 value)
      _interface_field("${fields}" 4 needs)
      _interface_field("${fields}" 5 several)
      _interface_field("${fields}" 6 about)
      _interface_flag("${several}" "${line}" several)
      foreach(text spellings value needs about)
        _interface_c_string("${${text}}" c_${text})
      endforeach()
      string(APPEND c_options
        " \\\n  X(${id}, ${c_spellings}, ${c_value}, ${c_needs}, ${several}, ${c_about})")
      string(REPLACE " " ", " shown "${spellings}")
      _interface_roff("${shown}" roff_shown)
      _interface_roff("${value}" roff_value)
      _interface_roff("${about}" roff_about)
      if(value)
        set(roff_value " \\fI${roff_value}\\fR")
      endif()
      string(APPEND man_options ".TP\n\\fB${roff_shown}\\fR${roff_value}\n${roff_about}\n")
    endif()
  endforeach()
  if(NOT DEFINED summary OR NOT DEFINED synopsis)
    message(FATAL_ERROR "interface texts: ${data} needs a summary row and a synopsis row")
  endif()

  set(INVOKEMODULE_SUMMARY "${summary}" PARENT_SCOPE)
  file(RELATIVE_PATH source ${PROJECT_SOURCE_DIR} ${data})
  _interface_c_string("${summary}" c_summary)
  _interface_c_string("${synopsis}" c_synopsis)
  _interface_write(${header}
"// Made by CMake from ${source}: the version and the texts of the commands,
// options, script lines and environment, as lists for X-macros.
#ifndef INVOKEMODULE_INTERFACE_TEXTS_H_
#define INVOKEMODULE_INTERFACE_TEXTS_H_

#define INVOKEMODULE_VERSION \"${PROJECT_VERSION}\"
// The version as the window title shows it: major and minor only.
#define INVOKEMODULE_SHORT_VERSION \"${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}\"
#define INVOKEMODULE_SUMMARY ${c_summary}
#define INVOKEMODULE_SYNOPSIS ${c_synopsis}
// X(paragraph)
#define INVOKEMODULE_DESCRIPTION(X)${c_description}
// X(id, usage, completion word, listed in the banner, what it does)
#define INVOKEMODULE_COMMANDS(X)${c_commands}
// X(usage, what it does)
#define INVOKEMODULE_SCRIPT_LINES(X)${c_scripts}
// X(name, what it does)
#define INVOKEMODULE_ENVIRONMENT(X)${c_environment}
// X(id, spellings, value placeholder, needed option, several scripts, what it does)
#define INVOKEMODULE_OPTIONS(X)${c_options}

#endif  // INVOKEMODULE_INTERFACE_TEXTS_H_
")

  _interface_roff("${summary}" roff_summary)
  _interface_roff("${synopsis}" roff_synopsis)
  _interface_write(${manpage}
".TH INVOKEMODULE 1 \"\" \"invokemodule ${PROJECT_VERSION}\" \"User Commands\"
.SH NAME
invokemodule \\- ${roff_summary}
.SH SYNOPSIS
\\fBinvokemodule\\fR ${roff_synopsis}
.SH DESCRIPTION
${man_description}.SH OPTIONS
${man_options}.SH COMMANDS
${man_commands}.SH SCRIPT LINES
Scripts hold the commands above, one per line, and these lines too:
${man_scripts}.SH ENVIRONMENT
${man_environment}.SH EXIT STATUS
0, also when a command fails; 2 when the program arguments are not understood.
")
endfunction()
