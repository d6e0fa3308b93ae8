#!/usr/bin/env bash
# Checks what cpack made, as a user would meet it:
#   deb FILE   pcmtap_<version>_amd64.deb: its dependencies (libpulse0, and
#              nothing beyond the C library; libpipewire suggested), its two files, and the pcmtap
#              it installs (dpkg -x into a scratch root) answering a bad
#              command line with the args error
#   zip FILE   pcmtap-<version>-win64.zip: exactly pcmtap.exe and the README,
#              and the exe under Wine (tests/e2e/wine_smoke.sh on it)
# <version> is the project's version in CMakeLists.txt.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
kind=${1-}
file=${2-}
if [[ ! -f $file || ($kind != deb && $kind != zip) ]]; then
    echo "usage: $0 deb|zip FILE" >&2
    exit 2
fi
version=$(sed -n 's/^project(pcmtap VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failed=0
check() {  # NAME CONDITION-COMMAND...: one line per check
    local name=$1
    shift
    if "$@"; then
        echo "ok   $name"
    else
        echo "FAIL $name"
        failed=1
    fi
}

# The file list, one path a line, directories left out, sorted.
files_of() {
    if [[ $kind == deb ]]; then
        dpkg-deb --fsys-tarfile "$file" | tar -t | grep -v '/$' | sed 's|^\./||' | sort
    else
        python3 -c 'import sys, zipfile
for n in sorted(zipfile.ZipFile(sys.argv[1]).namelist()):
    n.endswith("/") or print(n)' "$file"
    fi
}

same() { [[ $1 == "$2" ]] || { printf '     got:      %q\n     expected: %q\n' "$1" "$2"; false; }; }

if [[ $kind == deb ]]; then
    check "named pcmtap_${version}_amd64.deb" same "$(basename "$file")" "pcmtap_${version}_amd64.deb"
    check "holds the program and the README" same "$(files_of)" \
        "$(printf '%s\n' usr/bin/pcmtap usr/share/doc/pcmtap/README.md)"
    depends=$(dpkg-deb -f "$file" Depends)
    echo "     Depends: $depends"
    names=$(tr ',' '\n' <<<"$depends" | sed 's/[[:space:]]*(.*//; s/^[[:space:]]*//' | sort -u | paste -sd' ')
    check "depends on libpulse0 and the C library, nothing else" same "$names" "libc6 libpulse0"
    check "suggests libpipewire, which it loads at run time" same "$(dpkg-deb -f "$file" Suggests)" libpipewire-0.3-0
    dpkg -x "$file" "$scratch"
    rc=0
    "$scratch/usr/bin/pcmtap" --include 0 >"$scratch/out" 2>"$scratch/err" || rc=$?
    check "installed pcmtap: --include 0 exits with 1" same "$rc" 1
    check "installed pcmtap: --include 0 prints the args error" same "$(od -c "$scratch/err")" \
        "$(printf 'ERROR args 0x80070057\n' | od -c)"
    check "installed pcmtap: nothing on stdout" same "$(wc -c <"$scratch/out")" 0
else
    check "named pcmtap-${version}-win64.zip" same "$(basename "$file")" "pcmtap-${version}-win64.zip"
    top=pcmtap-${version}-win64
    check "holds exactly pcmtap.exe and the README" same "$(files_of)" \
        "$(printf '%s\n' "$top/bin/pcmtap.exe" "$top/share/doc/pcmtap/README.md")"
    python3 -m zipfile -e "$file" "$scratch"
    check "its README is this checkout's" cmp -s "$scratch/$top/share/doc/pcmtap/README.md" "$root/README.md"
    echo "--- the zip's pcmtap.exe under Wine"
    check "the zip's pcmtap.exe under Wine" "$root/tests/e2e/wine_smoke.sh" "$scratch/$top/bin/pcmtap.exe"
fi
exit $failed
