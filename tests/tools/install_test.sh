#!/usr/bin/env bash
# Installs a build into a scratch prefix and builds the example host program against the
# installed package the two ways a host would: find_package(Brindle) as C++17, the oldest
# standard the public headers support, and pkg-config as C++20. Both hosts must run, and so
# must the installed tool.
#   install_test.sh BUILD_DIR SOURCE_DIR CXX_COMPILER
set -euo pipefail
build=$1
source=$2
cxx=$3

scratch_root=${BRINDLE_TEST_TMP:-${TMPDIR:-/tmp}}
mkdir -p "$scratch_root"
work=$(mktemp -d "$scratch_root/install-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
host_source=$source/examples/host_example.cpp

step() { echo "== $*"; }

step "install into $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
for file in include/brindle.h include/vell/variable_data.h bin/brindle; do
    test -e "$prefix/$file" || { echo "not installed: $file" >&2; exit 1; }
done
library=$(find "$prefix" -name 'libbrindle.so.*.*' | head -n 1)
soname=$(objdump -p "$library" | awk '/SONAME/ {print $2}')
test -e "$(dirname "$library")/$soname" || { echo "no SONAME link $soname" >&2; exit 1; }

step "the installed tool runs against the installed library"
"$prefix/bin/brindle" --db "$work/tool/db" mkkey App
"$prefix/bin/brindle" --db "$work/tool/db" set App answer 42 --type int
test "$("$prefix/bin/brindle" --db "$work/tool/db" get App answer)" = 42

step "the manual page and the bash completion are installed and work"
man_page=$prefix/share/man/man1/brindle.1
completion=$prefix/share/bash-completion/completions/brindle
test -e "$man_page" || { echo "not installed: share/man/man1/brindle.1" >&2; exit 1; }
test -e "$completion" || { echo "not installed: bash-completion/completions/brindle" >&2; exit 1; }
warnings=$(groff -man -Tutf8 -ww -z "$man_page" 2>&1)
test -z "$warnings" || { echo "brindle.1 renders with warnings: $warnings" >&2; exit 1; }
grep -q 'wait' "$man_page" || { echo "brindle.1 lacks the option --wait" >&2; exit 1; }
# The page is made of the source alone: nothing of this build (its folder, the library's
# file) goes in, so it is the same wherever it is built.
if grep -qF -e "$build" -e "$(cd "$build" && pwd -P)" -e 'libbrindle.so' "$man_page"; then
    echo "brindle.1 names this build: $(grep -F -e "$build" -e libbrindle.so "$man_page")" >&2
    exit 1
fi
for word in BRINDLE_DURABILITY BRINDLE_CHECKPOINT_BYTES 'P.journal' 'SH ENVIRONMENT' 'SH FILES'; do
    grep -qF -- "$word" "$man_page" || { echo "brindle.1 lacks $word" >&2; exit 1; }
done
# Completion as bash runs it: the command word, then a key address from the database.
completed=$(bash -c '
    source "$1"
    complete_words() {
        COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMPREPLY=()
        _brindle
        echo "${COMPREPLY[*]}"
    }
    complete_words "$2" lo
    complete_words "$2" --db "$3" get A' _ "$completion" "$prefix/bin/brindle" "$work/tool/db")
test "$completed" = "$(printf 'load\nApp/')" || { echo "completion gave: $completed" >&2; exit 1; }

step "C++17 host built with find_package(Brindle)"
mkdir -p "$work/cmake-host"
cat >"$work/cmake-host/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(host LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
find_package(Brindle 0.1 REQUIRED)
add_executable(host_example "$host_source")
target_link_libraries(host_example PRIVATE Brindle::brindle)
CMAKE
cmake -S "$work/cmake-host" -B "$work/cmake-host/build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_COMPILER="$cxx" >"$work/cmake-host.log"
cmake --build "$work/cmake-host/build" --verbose >>"$work/cmake-host.log"
# A package that asked for C++20 would raise the host's standard behind its back.
grep -q -- '-std=c++17' "$work/cmake-host.log" || { echo "the host was not built as C++17" >&2; exit 1; }
(cd "$work/cmake-host" && ./build/host_example "$work/cmake-host/db")

step "host built with pkg-config"
command -v pkg-config >/dev/null || { echo "pkg-config is not installed" >&2; exit 1; }
pc_dir=$(dirname "$(find "$prefix" -name brindle.pc | head -n 1)")
export PKG_CONFIG_PATH=$pc_dir
libdir=$(pkg-config --variable=libdir brindle)
# shellcheck disable=SC2046  # the flags are meant to split into words
"$cxx" -std=c++20 "$host_source" -o "$work/host_pc" $(pkg-config --cflags --libs brindle) \
    -Wl,-rpath,"$libdir"
(cd "$work" && ./host_pc "$work/pc-host-db")

step "ok"
