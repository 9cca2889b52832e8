#!/usr/bin/env bash
# Checks tools/install-deps against stand-ins for dpkg and apt-get: on a
# machine with none of the packages it installs them all, and run again it
# calls apt-get not at all.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
: > "$work/installed"
: > "$work/apt.log"

cat > "$work/bin/dpkg" <<STUB
#!/usr/bin/env bash
[ "\$1" = "-s" ] || exit 2
grep -qx "\$2" "$work/installed" || exit 1
echo "Status: install ok installed"
STUB
cat > "$work/bin/apt-get" <<STUB
#!/usr/bin/env bash
echo "\$*" >> "$work/apt.log"
[ -x "\$ORV_POLICY_RC" ] && echo "policy in place" >> "$work/apt.log"
if [ "\$1" = "install" ]; then
  for p in "\$@"; do case "\$p" in -*|install) ;; *) echo "\$p" >> "$work/installed";; esac; done
fi
STUB
# Run as if root, so that no sudo is involved.
cat > "$work/bin/id" <<'STUB'
#!/usr/bin/env bash
echo 0
STUB
chmod +x "$work/bin/"*
# The policy that keeps installed services from starting, in the test's folder.
export ORV_POLICY_RC="$work/policy-rc.d"

fail() { echo "FAIL: $*"; exit 1; }

PATH="$work/bin:$PATH" "$here/tools/install-deps" > "$work/first.out"
grep -q '^update' "$work/apt.log" || fail "no apt-get update on a bare machine"
grep -q '^install' "$work/apt.log" || fail "no apt-get install on a bare machine"
grep -q '^policy in place' "$work/apt.log" || fail "services could start during the install"
[ ! -e "$ORV_POLICY_RC" ] || fail "the install-time service policy was left behind"
for p in cmake libsqlite3-dev libjansson-dev libicu-dev libgtest-dev clang-format libnss-wrapper nginx fcgiwrap curl wrk chromium nodejs fonts-wqy-microhei clang libclang-rt-14-dev; do
  grep -qx "$p" "$work/installed" || fail "$p was not installed"
done

: > "$work/apt.log"
PATH="$work/bin:$PATH" "$here/tools/install-deps" > "$work/second.out"
[ ! -s "$work/apt.log" ] || fail "second run called apt-get: $(cat "$work/apt.log")"

# One package missing: only that one is asked for.
grep -vx libjansson-dev "$work/installed" > "$work/kept" && mv "$work/kept" "$work/installed"
PATH="$work/bin:$PATH" "$here/tools/install-deps" > "$work/third.out"
grep -q '^install .*libjansson-dev$' "$work/apt.log" || fail "missing package not installed"
[ "$(grep '^install' "$work/apt.log" | wc -w)" -le 7 ] || fail "installed more than the missing package"
echo "install-deps: ok"
