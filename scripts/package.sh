#!/usr/bin/env bash
# Builds the Debian packages of the tree (quillpost, quillpost-desktop,
# quillpost-mta, libmailer1, libmailer-dev) into build/package/ and checks
# them with lintian, which must report no error.
#   scripts/package.sh
# The packages are made by debian/ with debhelper and dpkg-buildpackage, not
# by CPack: debhelper writes what Debian expects of a package and lintian
# checks (shared-library dependencies, shlibs, conffiles, stripped binaries
# with separate debug symbols, the systemd, sysusers, tmpfiles and debconf
# parts of the maintainer scripts), where CPack would leave each of those to
# hand-written code. The build runs in a copy of the tree, so that neither
# debhelper's files nor dpkg-buildpackage's output (written next to the
# source folder) land in the checkout.
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
  "") ;;
  -h|--help)
    sed -n '2,5p' "$0" | sed 's/^# \{0,1\}//'
    exit 0 ;;
  *)
    echo "package: unknown argument '$1' (see scripts/package.sh --help)" >&2
    exit 2 ;;
esac

scripts/install-deps.sh --package

version="$(dpkg-parsechangelog -S Version)"
project_version="$(sed -n 's/^project(Quillpost VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)"
if [ "$version" != "$project_version" ]; then
  echo "package: debian/changelog is at $version but CMakeLists.txt at $project_version;" \
       "add a changelog entry (dch -v $project_version)" >&2
  exit 1
fi

out=build/package
source="$out/quillpost-$version"
rm -rf "$source"
rm -f "$out"/*.deb "$out"/*.ddeb "$out"/*.buildinfo "$out"/*.changes
mkdir -p "$source"
# Committed and new files, as they are now; not what .gitignore leaves out.
git ls-files -z --cached --others --exclude-standard |
  tar --null --files-from=- --create --file=- | tar --extract --file=- --directory="$source"

echo "== building the packages in $source"
(cd "$source" &&
  DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -b -us -uc)

echo "== lintian"
changes=("$out"/quillpost_"$version"_*.changes)
lintian --fail-on error "${changes[@]}"

echo "== packages in $out"
ls -1 "$out"/*.deb
