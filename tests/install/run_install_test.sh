#!/usr/bin/env bash
# Installs the submission library under a temporary prefix, builds a C program
# (through pkg-config) and a C++ program (through find_package) against it, and
# sends one request through each into a temporary queue store.
#   run_install_test.sh BUILD_DIR CONSUMERS_DIR GENERATOR C_COMPILER CXX_COMPILER SANITIZE PROBE
set -euo pipefail

build=$1 consumers=$2 generator=$3 cc=$4 cxx=$5 sanitize=$6 probe=$7

work=$(mktemp -d "${TMPDIR:-/tmp}/quillpost-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() { echo "install test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" --component mailer >/dev/null

lib=$(find "$prefix" -name 'libmailer.so.1.0.0' | head -n1)
[ -n "$lib" ] || fail "libmailer.so.1.0.0 was not installed"
[ -L "$(dirname "$lib")/libmailer.so.1" ] || fail "libmailer.so.1 link missing"
[ -L "$(dirname "$lib")/libmailer.so" ] || fail "libmailer.so link missing"
objdump -p "$lib" | grep -q 'SONAME *libmailer.so.1$' || fail "SONAME is not libmailer.so.1"
[ -f "$prefix/include/quillpost/submission.h" ] || fail "headers missing"
for module in quillpost-message.so quillpost-queue-broker.so; do
  [ -f "$(dirname "$lib")/quillpost/$module" ] || fail "module $module not installed beside the library"
done

# Nothing of the components linked into the library may leak out of it.
leaked=$(nm -D --defined-only -C "$lib" | grep -E 'quillpost::|pugi|sqlite' |
  grep -vE ' quillpost::(Submission|SubmissionError|Value)::|(typeinfo|typeinfo name|vtable) for quillpost::SubmissionError$' ||
  true)
[ -z "$leaked" ] || fail "internal symbols exported: $leaked"

pcdir=$(dirname "$(find "$prefix" -name mailer.pc | head -n1)")
flags=(-G "$generator" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx")
if command -v ccache >/dev/null; then
  flags+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
if [ "$sanitize" = ON ]; then
  # The library is instrumented; so must the programs be that load it.
  san="-fsanitize=address,undefined"
  flags+=(-DCMAKE_C_FLAGS="$san" -DCMAKE_CXX_FLAGS="$san" -DCMAKE_EXE_LINKER_FLAGS="$san")
fi

PKG_CONFIG_PATH="$pcdir" cmake -S "$consumers/c_consumer" -B "$work/c" "${flags[@]}" >"$work/c.log" 2>&1 ||
  { cat "$work/c.log"; fail "configuring the C consumer failed"; }
cmake --build "$work/c" >>"$work/c.log" 2>&1 || { cat "$work/c.log"; fail "building the C consumer failed"; }

cmake -S "$consumers/cpp_consumer" -B "$work/cpp" -DCMAKE_PREFIX_PATH="$prefix" "${flags[@]}" \
  >"$work/cpp.log" 2>&1 || { cat "$work/cpp.log"; fail "configuring the C++ consumer failed"; }
cmake --build "$work/cpp" >>"$work/cpp.log" 2>&1 ||
  { cat "$work/cpp.log"; fail "building the C++ consumer failed"; }

export QUILLPOST_STORE=$work/store
mkdir -p "$QUILLPOST_STORE"
"$probe" create kvr_mailer

answer=$("$work/c/c_consumer" kvr_mailer) || fail "the C consumer answered: $answer"
[ "$answer" = OK ] || fail "the C consumer answered: $answer"
answer=$("$work/cpp/cpp_consumer" kvr_mailer) || fail "the C++ consumer answered: $answer"
[ "$answer" = OK ] || fail "the C++ consumer answered: $answer"
answer=$("$work/c/c_consumer" no_such_queue) && fail "a send to a missing queue succeeded"
[ "$answer" = "ERR - Internal error sending message to MSMQ" ] || fail "missing queue answered: $answer"

"$probe" expect kvr_mailer "sent by the C consumer" "sent by the C++ consumer" ||
  fail "the queue does not hold the two requests"
echo "install test: both consumers built against the installed package and sent their request"
