#!/usr/bin/env bash
# scripts/install-deps.sh against stand-ins for apt-get, dpkg and dpkg-query
# first on PATH, so its decisions are tried without the network: a mirror
# whose index fails every update still installs, from the release's suite;
# a package that cannot be installed fails the run and is named.
# scripts/test.sh runs it; exits non-zero on the first failure.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/harbinel-deps-test.XXXXXX")"
trap 'rm -rf "$work"' EXIT
codename="$(. /etc/os-release && echo "$VERSION_CODENAME")"

mkdir "$work/bin"
# Installed packages are the lines of $STATE; apt-get records its calls in
# $CALLS, fails `update` with $UPDATE_RC and refuses to install $REFUSE.
cat >"$work/bin/dpkg-query" <<'STUB'
#!/usr/bin/env bash
grep -qxF "${@: -1}" "$STATE" && printf 'install ok installed'
STUB
cat >"$work/bin/dpkg" <<'STUB'
#!/usr/bin/env bash
[[ "$1" == --print-foreign-architectures ]] && echo i386
exit 0
STUB
cat >"$work/bin/apt-get" <<'STUB'
#!/usr/bin/env bash
echo "apt-get $*" >>"$CALLS"
[[ "$1" == update ]] && exit "$UPDATE_RC"
for arg in "$@"; do
    [[ -n "$REFUSE" && "$arg" == "$REFUSE" ]] && exit 100
done
printf '%s\n' "$@" >>"$STATE"
STUB
chmod +x "$work/bin/"*

fail() {
    echo "install_deps_test: FAILED: $*" >&2
    echo "---- apt-get calls:" >&2
    cat "$CALLS" >&2 || true
    echo "---- install-deps said:" >&2
    cat "$work/out" >&2 || true
    exit 1
}

# name, update's exit code, package refused, expected exit code, whether
# the install carries -t <codename>
cases=(
    "a mirror out of sync|100||0|yes"
    "a whole mirror|0||0|no"
    "a package that cannot be installed|100|nsis|1|yes"
)
for row in "${cases[@]}"; do
    IFS='|' read -r name update_rc refuse want_rc want_release <<<"$row"
    export STATE="$work/state" CALLS="$work/calls" UPDATE_RC="$update_rc" REFUSE="$refuse"
    : >"$STATE"
    : >"$CALLS"
    rc=0
    PATH="$work/bin:$PATH" bash "$root/scripts/install-deps.sh" >"$work/out" 2>&1 || rc=$?
    [[ $rc -eq $want_rc ]] || fail "$name: exit $rc, expected $want_rc"
    updates="$(grep -c '^apt-get update' "$CALLS" || true)"
    [[ $update_rc -eq 0 && $updates -eq 1 || $update_rc -ne 0 && $updates -eq 3 ]] ||
        fail "$name: $updates updates"
    install="$(grep -m1 '^apt-get install' "$CALLS" || true)"
    [[ -n "$install" ]] || fail "$name: nothing installed"
    if [[ $want_release == yes ]]; then
        [[ "$install" == *" -t $codename "* ]] || fail "$name: the install has no -t $codename"
    else
        [[ "$install" != *" -t "* ]] || fail "$name: the install has -t"
    fi
    if [[ -n "$refuse" ]]; then
        grep -q "could not install $refuse\$" "$work/out" || fail "$name: $refuse not named"
    fi
    echo "install_deps_test: $name: ok"
done
