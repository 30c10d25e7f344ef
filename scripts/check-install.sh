#!/usr/bin/env bash
# Builds the two Debian packages (from the built tree named as the first
# argument when it fits; see scripts/package.sh) and checks what they
# install: the desktop entry, the AppStream metainfo, the manuals, the
# systemd unit (as unpacked from the package) and lintian on both packages.
# A check whose tool is not installed is reported and left out;
# `scripts/install-deps.sh --test` installs them all.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/package.sh "$@"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
for deb in build/packages/*.deb; do
  dpkg-deb -x "$deb" "$root"
done

failed=0
check() {
  local tool=$1
  shift
  if ! command -v "$tool" >/dev/null; then
    echo "check-install: $tool is not installed; left out"
    return
  fi
  echo "check-install: $*"
  if ! "$@"; then
    echo "check-install: FAILED: $*"
    failed=1
  fi
}

# Clean means no output at all on standard error, whatever the exit status.
quiet_stderr() {
  local errors
  errors=$("$@" 2>&1 >/dev/null) || true
  [[ -z $errors ]] || { printf '%s\n' "$errors"; return 1; }
}

check desktop-file-validate desktop-file-validate "$root"/usr/share/applications/*.desktop
check appstreamcli appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml
for page in "$root"/usr/share/man/man*/*; do
  check man quiet_stderr man --warnings -E UTF-8 -l "$page"
done
# The unit as installed: in the unpacked tree, next to the system's own units
# (which it orders itself after), its manual found there too.
if [[ -d /lib/systemd/system ]]; then
  cp -an /lib/systemd/system/. "$root/usr/lib/systemd/system/"
fi
MANPATH=$root/usr/share/man check systemd-analyze quiet_stderr systemd-analyze verify --root="$root" \
  "$root"/usr/lib/systemd/system/murmurly-server.service
check lintian lintian --fail-on error build/packages/*.deb

if [[ $failed -ne 0 ]]; then
  echo "check-install: some checks failed"
  exit 1
fi
echo "check-install: all checks passed"
