#!/usr/bin/env bash
# Builds the 32-bit and 64-bit Windows executables with MinGW-w64 and runs, under Wine, their
# unit tests, the end-to-end transcripts and the console checks; checks the zip of each. Each
# build gets a fresh Wine prefix inside its build tree. Prints the measured pause accuracy and
# a closing line.
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix wine wineboot wineserver; do
  if ! command -v "$tool" >/dev/null; then
    echo "test-windows: $tool is missing; './dev deps' installs the Windows toolchains and Wine" >&2
    exit 1
  fi
done

# Whether this machine's kernel runs 32-bit x86 programs at all (some virtual machines are built
# without that support). Without it neither the 32-bit host nor Wine's 32-bit loader can start:
# the win32 build is then still built and packaged, its run under Wine is skipped with a loud
# line, and 64-bit programs are started through Wine's 64-bit loader directly, since the `wine`
# front end tries the 32-bit loader first.
runs_32bit_programs() {
  local loader
  for loader in /lib/ld-linux.so.2 /lib/i386-linux-gnu/ld-linux.so.2; do
    [ -e "$loader" ] && { "$loader" --version >/dev/null 2>&1; return $?; }
  done
  return 1
}
wine_runner=wine
can_run_32bit=1
if ! runs_32bit_programs; then
  can_run_32bit=0
  for candidate in /usr/lib/wine/wine64 /usr/lib/x86_64-linux-gnu/wine/wine64; do
    [ -x "$candidate" ] && { wine_runner=$candidate; break; }
  done
  export WINELOADER=$wine_runner  # what Wine itself starts programs with (wineboot, children)
  echo "test-windows: this machine's kernel cannot run 32-bit programs: the win32 build is" \
       "built and packaged but NOT run under Wine; win64 runs through $wine_runner"
fi

# Wine's own diagnostics stay out of the transcripts; Mono and Gecko are not wanted.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

active_prefix=""
stop_wine() {
  if [ -n "$active_prefix" ]; then
    WINEPREFIX="$active_prefix" wineserver -k >/dev/null 2>&1 || true
    active_prefix=""
  fi
}
trap stop_wine EXIT

# A fresh prefix, made now that both Wine architectures are installed (a prefix made with
# only the 32-bit part refuses 64-bit programs). The server is started first and kept alive
# between the many short test programs; Wine's background services, started by wineboot, get
# no terminal or pipe of ours, so no test's output pipe is held open by them.
start_wine() {
  export WINEPREFIX="$PWD/$1/wineprefix"
  wineserver -k >/dev/null 2>&1 || true  # one left running by an earlier, interrupted run
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  wineserver -p </dev/null >/dev/null 2>&1
  active_prefix="$WINEPREFIX"
  # Wine's own start-up of a fresh prefix dies by a signal now and then on a busy machine: once
  # more before giving up.
  "$wine_runner" wineboot -i </dev/null >/dev/null 2>&1 ||
    "$wine_runner" wineboot -i </dev/null >/dev/null 2>&1
}

# The pause of `sleep 0.5` as the host reports it, five times: a figure, not a pass/fail test.
# A run whose Wine process dies (the transcripts check the host's own exits) is shown as such.
measure_pause() {
  local build=$1 work exe output status
  work=$(mktemp -d)
  exe="$PWD/$build/invokemodule.exe"
  printf 'sleep 0.5\n' >"$work/pause.sqf"
  local figures=()
  for _ in 1 2 3 4 5; do
    status=0
    output=$(cd "$work" && printf 'execVM "pause.sqf"\nexit\n' | "$wine_runner" "$exe") || status=$?
    if [ "$status" -ne 0 ]; then
      figures+=("(status $status)")
      continue
    fi
    figures+=("$(tr '\r' '\n' <<<"$output" | sed -n 's/^Execution time: \([0-9.]*\) ms$/\1/p')")
  done
  rm -rf "$work"
  echo "sleep 0.5 ($build) took, in ms: ${figures[*]}"
}

# The zip that cpack makes of a build holds the executable and the README.
check_package() {
  local build=$1 out listing file
  out=$(mktemp -d)
  cpack --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
  listing=$(python3 -m zipfile -l "$out"/*.zip)
  rm -rf "$out"
  for file in invokemodule.exe README.md; do
    if ! grep -q "/$file " <<<"$listing"; then
      echo "test-windows: $file is missing from the zip of $build" >&2
      return 1
    fi
  done
  echo "$build zip holds invokemodule.exe and README.md"
}

for preset in win32 win64; do
  build=build-$preset
  printf '\n--- %s: build\n' "$preset"
  cmake --preset "$preset" -DWINE_EXECUTABLE="$(command -v "$wine_runner")" \
    -DINVOKEMODULE_E2E_RUNNER="$wine_runner" >/dev/null
  cmake --build --preset "$preset"
  if [ "$preset" = win32 ] && [ "$can_run_32bit" = 0 ]; then
    check_package "$build"
    printf -- '--- win32: SKIPPED under Wine: this kernel cannot run 32-bit programs\n'
    continue
  fi
  start_wine "$build"
  printf '\n--- %s: unit tests and end-to-end transcripts under Wine\n' "$preset"
  ctest --preset "$preset"
  printf '\n--- %s: console input and output under Wine\n' "$preset"
  python3 tools/windows_console_test.py --exe "$build/invokemodule.exe" --testext "$build/testext" \
    --runner "$wine_runner"
  measure_pause "$build"
  check_package "$build"
  stop_wine
done

if [ "$can_run_32bit" = 1 ]; then
  echo "test-windows: win32 and win64 built; unit tests, transcripts and console checks passed under Wine"
else
  echo "test-windows: win32 and win64 built; win64's unit tests, transcripts and console checks" \
       "passed under Wine; win32 NOT run (no 32-bit support in this kernel)"
fi
