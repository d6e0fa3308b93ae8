#!/usr/bin/env bash
# Runs the Windows build of pcmtap under Wine and checks what a parent program
# sees: status lines (CR LF, since stderr stays in text mode), exit codes, and
# an empty stdout whenever no audio flows.
#
# Usage: tests/e2e/wine_smoke.sh [path/to/pcmtap.exe]
# Default: build/windows/pcmtap.exe of this checkout.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
exe=$(realpath "${1:-$root/build/windows/pcmtap.exe}")
loader=/usr/lib/wine/wine64  # Debian's wine64 package puts no wine64 on PATH
if [[ ! -f $exe ]]; then
    echo "wine_smoke: no $exe; build the windows preset first" >&2
    exit 2
fi
if [[ ! -x $loader ]]; then
    echo "wine_smoke: no Wine loader at $loader (apt-get install wine64)" >&2
    exit 2
fi
if [[ -x /usr/lib/wine/wineserver64 ]]; then
    export WINESERVER=/usr/lib/wine/wineserver64
else
    WINESERVER=$(command -v wineserver) || { echo "wine_smoke: no wineserver" >&2; exit 2; }
    export WINESERVER
fi

work=$(mktemp -d)
export WINEPREFIX=$work/prefix
mkdir "$WINEPREFIX"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# Without a sound card Wine's ALSA driver prints "ALSA lib ..." on the
# program's stderr; a null default device keeps stderr to pcmtap's own lines.
printf 'pcm.!default { type null }\n' >"$work/asound.conf"
export ALSA_CONFIG_PATH=$work/asound.conf
# Keep Wine's PulseAudio driver off any sound server that may run here, so the
# outcome does not depend on the machine.
export PULSE_SERVER=unix:$work/no-sound-server
unset DISPLAY WAYLAND_DISPLAY
export HOME=${HOME:-$work}

cleanup() {
    timeout 20 "$WINESERVER" -k >/dev/null 2>&1 || true
    timeout 20 "$WINESERVER" -w >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

# The server and the services wineboot starts inherit the caller's
# descriptors: start them once, detached from ours, before any test.
"$WINESERVER" -p </dev/null >/dev/null 2>&1 || { echo "wine_smoke: wineserver did not start" >&2; exit 2; }
"$loader" wineboot -i </dev/null >/dev/null 2>&1 || { echo "wine_smoke: wineboot failed" >&2; exit 2; }

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok   $1"; }
fail() {
    failed=$((failed + 1))
    echo "FAIL $1: $2"
    echo "     exit code $rc; stderr:"
    od -c "$err" | sed 's/^/     /'
    echo "     stdout: $(wc -c <"$out") bytes"
}

# run NAME ARGS...: runs pcmtap.exe; sets rc, out and err (files, not pipes).
run() {
    local name=$1
    shift
    out=$work/$name.out
    err=$work/$name.err
    rc=0
    timeout -k 5 30 "$loader" "$exe" "$@" </dev/null >"$out" 2>"$err" || rc=$?
}

# expect_exact NAME LINE ARGS...: stderr is exactly LINE + CR LF, exit code 1,
# nothing on stdout.
expect_exact() {
    local name=$1 line=$2
    shift 2
    run "$name" "$@"
    if [[ $rc -ne 1 ]]; then
        fail "$name" "exit code $rc, expected 1"
    elif ! cmp -s "$err" <(printf '%s\r\n' "$line"); then
        fail "$name" "stderr is not exactly '$line' CR LF"
    elif [[ -s $out ]]; then
        fail "$name" "stdout is not empty"
    else
        pass "$name"
    fi
}

# expect_open_error NAME ARGS...: exactly one ERROR line, CR LF, naming a step
# of opening a stream; no READY line; exit code 1; nothing on stdout.
expect_open_error() {
    local name=$1
    shift
    run "$name" "$@"
    local labels='activate|activate-result|initialize|event|service|start'
    if [[ $rc -ne 1 ]]; then
        fail "$name" "exit code $rc, expected 1"
    elif [[ $(wc -l <"$err") -ne 1 ]] ||
        ! LC_ALL=C grep -qxE "ERROR ($labels) 0x[0-9a-f]{8}"$'\r' "$err" ||
        [[ $(tail -c 2 "$err" | od -An -tx1 | tr -d ' ') != 0d0a ]]; then
        fail "$name" "stderr is not one ERROR line of an opening step, CR LF"
    elif [[ -s $out ]]; then
        fail "$name" "stdout is not empty"
    else
        pass "$name"
    fi
}

# A pid that exists under Wine: the first services.exe that wineboot started.
# winedbg lists processes with ids in hex.
target_pid() {
    local list=$work/processes.txt id
    timeout 30 "$loader" winedbg --command "info proc" </dev/null >"$list" 2>/dev/null || true
    id=$(awk "/'services.exe'/ { sub(/^=/, \"\", \$1); print \$1; exit }" "$list")
    [[ $id =~ ^[0-9a-fA-F]+$ ]] || return 1
    echo $((16#$id))
}

# The version resource: the fixed part's file version and the strings a
# parent program or Explorer reads, all from the project's version.
version=$(sed -n 's/^project(pcmtap VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
if problem=$(python3 - "$exe" "$version" 2>&1 <<'PY'
import struct, sys
data, version = open(sys.argv[1], "rb").read(), sys.argv[2]
fixed = data.find(struct.pack("<I", 0xFEEF04BD))
if fixed < 0:
    sys.exit("no VS_FIXEDFILEINFO")
ms, ls = struct.unpack_from("<II", data, fixed + 8)
got = "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
if got != version + ".0":
    sys.exit("file version %s, expected %s.0" % (got, version))
def value(key):  # the UTF-16 string that follows the key, past its padding
    at = data.find((key + "\0").encode("utf-16-le"), fixed)
    if at < 0:
        return None
    at += 2 * len(key) + 2
    while data[at:at + 2] == b"\0\0":
        at += 2
    end = at
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[at:end].decode("utf-16-le")
for key, wanted in (("ProductName", "pcmtap"), ("FileVersion", version),
                    ("ProductVersion", version), ("OriginalFilename", "pcmtap.exe")):
    if value(key) != wanted:
        sys.exit("%s is %r, expected %r" % (key, value(key), wanted))
if not value("FileDescription"):
    sys.exit("no FileDescription")
PY
); then
    pass version-resource
else
    rc=none out=/dev/null err=/dev/null
    fail version-resource "$problem"
fi

bad_args='ERROR args 0x80070057'
expect_exact no-arguments "$bad_args"
expect_exact lone-option "$bad_args" --include
expect_exact pid-not-a-number "$bad_args" --include abc
expect_exact pid-zero "$bad_args" --include 0
expect_exact last-pid-zero-wins "$bad_args" --include 5 --include 0
expect_exact option-in-wrong-case "$bad_args" --Include 5
expect_exact hwnd-in-hex "$bad_args" --hwnd 0x10
expect_exact app-with-a-path "$bad_args" --app 'C:\player.exe'

# --list needs no target: exit code 0, nothing on stderr, JSON lines on
# stdout (none where Wine lists no sessions).
run list --list
if [[ $rc -ne 0 || -s $err ]]; then
    fail list "exit code $rc, expected 0 and an empty stderr"
elif ! python3 -c 'import json, sys; [json.loads(line) for line in open(sys.argv[1], "rb").read().split(b"\n")[:-1]]' "$out"; then
    fail list "stdout is not JSON lines"
else
    pass list
fi

if pid=$(target_pid); then
    # Wine 8 has no process-loopback device: activation completes with
    # ERROR_FILE_NOT_FOUND as an HRESULT.
    expect_exact include-activation "ERROR activate-result 0x80070002" --include "$pid"
    expect_exact exclude-activation "ERROR activate-result 0x80070002" --exclude "$pid"
    expect_open_error mix-probe --mix "$pid"
    expect_exact app-probe "ERROR activate-result 0x80070002" --app services.exe
else
    rc=none out=/dev/null err=/dev/null
    fail find-target-pid "winedbg listed no services.exe"
fi

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
