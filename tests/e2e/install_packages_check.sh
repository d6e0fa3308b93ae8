#!/usr/bin/env bash
# Checks scripts/install-packages against stand-ins for apt-get and sudo that
# only log their arguments: a machine with every package asks for nothing; a
# missing one is installed alone, after one update, through sudo only when not
# root; and comments in a list are not taken for packages.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
mkdir -m 755 "$work/bin"
for tool in apt-get sudo; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n[ %s = sudo ] && exec "$@"\nexit 0\n' \
        "$tool" "$work" "$tool" >"$work/bin/$tool"
    chmod 755 "$work/bin/$tool"
done
: >"$work/calls"
chmod 666 "$work/calls"

# Packages every Debian machine has, and one no machine has.
printf '%s\n' '# a comment line' 'dpkg   # the package manager' '' 'bash coreutils' >"$work/present.txt"
absent=pcmtap-no-such-package

failed=0
# expect NAME EXPECTED-CALLS COMMAND...: runs it with the stand-ins first on PATH.
expect() {
    local name=$1 wanted=$2
    shift 2
    : >"$work/calls"
    if ! PATH=$work/bin:$PATH "$@" >/dev/null 2>&1; then
        echo "FAIL $name: exit code not 0"
        failed=1
    elif [[ $(cat "$work/calls") != "$wanted" ]]; then
        echo "FAIL $name: calls were:"
        sed 's/^/     /' "$work/calls"
        echo "     expected:"
        printf '%s\n' "$wanted" | sed 's/^/     /'
        failed=1
    else
        echo "ok   $name"
    fi
}

# A copy, so that the user the checks run as can reach it wherever the
# checkout is (under /root, for instance).
installer=$work/install-packages
install -m 755 "$root/scripts/install-packages" "$installer"
update='apt-get -o DPkg::Lock::Timeout=600 update -q'
install="apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends $absent"

expect "everything there: nothing run" "" "$installer" -f "$work/present.txt"
expect "the repo's list on a machine set up for it: nothing run" "" "$installer" -f "$root/scripts/packages.txt"
if ((EUID == 0)); then
    expect "one missing, as root: update, then that one alone" "$update"$'\n'"$install" \
        "$installer" -f "$work/present.txt" "$absent"
    expect "one missing, as a user: the same through sudo" \
        "sudo env DEBIAN_FRONTEND=noninteractive $update"$'\n'"$update"$'\n'"sudo env DEBIAN_FRONTEND=noninteractive $install"$'\n'"$install" \
        setpriv --reuid=65534 --regid=65534 --clear-groups "$installer" -f "$work/present.txt" "$absent"
    expect "everything there, as a user: no sudo" "" \
        setpriv --reuid=65534 --regid=65534 --clear-groups "$installer" -f "$work/present.txt"
else
    expect "one missing, as a user: through sudo" \
        "sudo env DEBIAN_FRONTEND=noninteractive $update"$'\n'"$update"$'\n'"sudo env DEBIAN_FRONTEND=noninteractive $install"$'\n'"$install" \
        "$installer" "$absent"
fi
exit $failed
