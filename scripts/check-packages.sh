#!/usr/bin/env bash
# Checks the release packages that scripts/release.sh left in build/packages/:
# SHA256SUMS verifies; the Debian package holds the program, its manual page,
# the users' README and the copyright file, lintian finds no error in it, and
# its program runs and tells its version; the zip holds the users' README and
# a 32-bit Windows program with its manifest and the expected PE time stamp.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
packages=$here/build/packages
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$here" log -1 --format=%ct)}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarvolin-packages.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
status=0
fail() { echo "check-packages: $*" >&2; status=1; }
# The users' README: how to point at a service, and no developer's commands.
check_user_readme() {
  grep -q TARVOLIN_SERVICE_URL "$1" || fail "$2 is not the users' README"
  ! grep -qE 'scripts/|cmake |ctest' "$1" || fail "$2 holds developer commands"
}

cd "$packages"
echo "== sha256sum -c SHA256SUMS"
sha256sum -c SHA256SUMS || fail "SHA256SUMS does not verify"
deb=$(ls ./*.deb)
zip=$(ls ./*.zip)
[ "$(wc -l <SHA256SUMS)" -eq 2 ] || fail "SHA256SUMS should name the two packages"

echo "== dpkg -c ${deb#./}"
listing=$(dpkg -c "$deb")
echo "$listing"
for path in ./usr/bin/tarvolin-agent ./usr/share/man/man1/tarvolin-agent.1.gz \
  ./usr/share/doc/tarvolin-agent/README.md ./usr/share/doc/tarvolin-agent/copyright \
  ./usr/share/doc/tarvolin-agent/changelog.gz; do
  grep -q " $path\$" <<<"$listing" || fail "the Debian package lacks $path"
done

echo "== lintian ${deb#./}"
# Warnings are shown; only errors fail.
lintian --fail-on error "$deb" 2>&1 | grep -v '^running with root privileges' || true
lintian --fail-on error "$deb" >/dev/null 2>&1 || fail "lintian reports errors"

echo "== the packaged program and manual page"
dpkg-deb -x "$deb" "$scratch/deb"
usage_status=0
usage=$(env -u TARVOLIN_AUTH_KEY "$scratch/deb/usr/bin/tarvolin-agent") || usage_status=$?
[ "$usage_status" -eq 1 ] && [[ "$usage" == "Usage : "* ]] ||
  fail "the packaged program did not answer with its usage text (exit $usage_status)"
version=$("$scratch/deb/usr/bin/tarvolin-agent" --version) ||
  fail "the packaged program's --version failed"
[[ "$version" == "tarvolin-agent "* ]] || fail "the packaged program's --version said: $version"
if [ -z "${TARVOLIN_SERVICE_HOST:-}" ]; then
  # Made without a service host: no built-in service, so a forgotten
  # TARVOLIN_SERVICE_URL sends the key nowhere.
  refusal_status=0
  refusal=$(env -u TARVOLIN_SERVICE_URL "$scratch/deb/usr/bin/tarvolin-agent" -k key \
    -i "$scratch/deb/usr/bin/tarvolin-agent" 2>&1 >/dev/null) || refusal_status=$?
  [ "$refusal_status" -eq 1 ] && [[ "$refusal" == *"set TARVOLIN_SERVICE_URL"* ]] ||
    fail "the packaged program without a service host did not refuse to sign: $refusal"
fi
check_user_readme "$scratch/deb/usr/share/doc/tarvolin-agent/README.md" "the Debian package's README"
warnings=$(man --warnings -E UTF-8 -l -Tutf8 -Z "$scratch/deb/usr/share/man/man1/tarvolin-agent.1.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "the manual page renders with warnings: $warnings"

echo "== unzip ${zip#./}"
unzip -q "$zip" -d "$scratch/zip"
exe=$(find "$scratch/zip" -name tarvolin-agent.exe)
readme=$(find "$scratch/zip" -name README.md)
if [ -n "$readme" ]; then check_user_readme "$readme" "the zip's README"; else fail "the zip lacks README.md"; fi
if [ -n "$exe" ]; then
  bash "$here/scripts/check-win32-exe.sh" "$exe" || fail "the zipped program is not as shipped"
  stamp=$("$here/scripts/pe-time-stamp.sh" "$exe")
  [ "$stamp" = "$SOURCE_DATE_EPOCH" ] ||
    fail "the zipped program's PE time stamp is $stamp, not $SOURCE_DATE_EPOCH"
else
  fail "the zip lacks tarvolin-agent.exe"
fi
[ $status -eq 0 ] && echo "check-packages: all passed"
exit $status
