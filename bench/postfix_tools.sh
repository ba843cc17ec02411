# Sourced by the benchmark scripts: unpacked_postfix NAME prints the folder
# Debian's postfix package is unpacked into (for smtp-source and smtp-sink),
# fetching it with apt-get download the first time. It is never installed,
# so the machine's mail set-up stays as it is. The folder is
# ${QUILLPOST_BENCH_TOOLS:-~/.cache/quillpost-bench}/postfix; the programs
# need LD_LIBRARY_PATH=FOLDER/usr/lib/postfix.
unpacked_postfix() {
  local tools="${QUILLPOST_BENCH_TOOLS:-$HOME/.cache/quillpost-bench}/postfix"
  if [ ! -x "$tools/usr/sbin/smtp-source" ]; then
    mkdir -p "$tools"
    (cd "$tools" && apt-get download postfix >/dev/null 2>&1 &&
      dpkg-deb -x postfix_*.deb . && rm -f postfix_*.deb) || {
      echo "$1: cannot fetch Debian's postfix package for smtp-source and smtp-sink" >&2
      return 1
    }
  fi
  echo "$tools"
}
