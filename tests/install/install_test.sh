#!/bin/sh
# What an installed skrivo gives a user and a program built against it
# (install), and what the Debian packages hold (package).
# usage: install_test.sh install|package BUILD_DIR SOURCE_DIR WORK_DIR [SANITIZER_FLAGS]
set -eu
mode=$1 build=$2 src=$3 work=$4 san=${5:-}
rm -rf "$work"
mkdir -p "$work"
export XDG_CONFIG_HOME="$work/config" SKRIVO_REGISTRY_ROOT="$work/registry"
fail() { echo "FAIL: $*" >&2; exit 1; }

if [ "$mode" = install ]; then
  stage=$work/stage
  cmake --install "$build" --prefix "$stage" >/dev/null
  for f in bin/skrivo include/skrivo/engine/SkrivoEngine.h share/man/man1/skrivo.1 \
           share/bash-completion/completions/skrivo share/zsh/vendor-completions/_skrivo \
           share/skrivo/settings/EEG share/skrivo/settings/Sleep; do
    [ -e "$stage/$f" ] || fail "the install has no $f"
  done
  grep -q '^\.TH SKRIVO 1' "$stage/share/man/man1/skrivo.1" || fail "the man page has no title line"
  grep -q '^\.SH EXIT STATUS' "$stage/share/man/man1/skrivo.1" || fail "the man page misses docs/cli.md's sections"
  lib=$(find "$stage" -name 'libskrivo.so.*.*.*')
  readelf -d "$lib" | grep -q 'SONAME.*\[libskrivo\.so\.0\]' || fail "$lib has no SONAME libskrivo.so.0"
  pc=$(find "$stage" -name skrivo.pc)
  [ -n "$pc" ] && [ -n "$(find "$stage" -name SkrivoConfig.cmake)" ] || fail "no pkg-config or CMake package file"

  # The bash completion offers commands, and each command's options from
  # its own --help.
  complete_words() {
    bash -c '. "$1/share/bash-completion/completions/skrivo"; shift
             COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _skrivo 2>/dev/null; echo "${COMPREPLY[*]}"' sh "$stage" "$@"
  }
  [ "$(complete_words "$stage/bin/skrivo" exp)" = export ] || fail "bash completion of a command"
  [ "$(complete_words "$stage/bin/skrivo" export --pad)" = --pad-gaps ] || fail "bash completion of an option"

  "$stage/bin/skrivo" simulate "$work/study" --minutes 0.2 -q
  cmake -S "$src/tests/install/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$stage" \
    -DCMAKE_CXX_FLAGS="$san" -DCMAKE_EXE_LINKER_FLAGS="$san" >/dev/null
  PKG_CONFIG_PATH=$(dirname "$pc") cmake --build "$work/consumer" >/dev/null
  for exe in consumer_cmake consumer_pc; do
    "$work/consumer/$exe" "$work/study" "$work/out-$exe" >/dev/null || fail "$exe did not export the study"
  done
else
  # The skrivo package alone: the editor's is made the same way. Compression
  # is the packer's business, and slow on sanitized binaries.
  (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" \
     -D CPACK_COMPONENTS_ALL=skrivo -D CPACK_DEBIAN_COMPRESSION_TYPE=none >/dev/null)
  deb=$(ls "$work"/pkg/skrivo_*.deb)
  dpkg-deb -f "$deb" Depends | grep -qi qt && fail "the skrivo package depends on Qt"
  # Every library the program loads comes from a package the skrivo package
  # depends on (libedf1 for the BIDS writer, ...).
  deps=$(dpkg-deb -f "$deb" Depends)
  for lib in $(ldd "$build/tools/skrivo" | awk '$3 ~ /^\// {print $3}'); do
    pkg=$(dpkg -S "$(readlink -f "$lib")" 2>/dev/null | head -n1 | cut -d: -f1)
    [ -z "$pkg" ] || echo "$deps" | grep -q "$pkg" || fail "the skrivo package does not depend on $pkg ($lib)"
  done
  dpkg -x "$deb" "$work/root"
  "$work/root/usr/bin/skrivo" demo --folder "$work/demo" --minutes 0.5 -q || fail "skrivo demo from the package"
  ls "$work"/demo/edf/* >/dev/null || fail "the packaged skrivo demo wrote nothing"
fi
rm -rf "$work"
echo "$mode: ok"
