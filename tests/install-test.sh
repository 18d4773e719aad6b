#!/bin/sh
# An install under any prefix: the systemd unit names the program where it was installed, the
# help page is there, and an uninstalled build has its page beside its program.
set -eu
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix/opt/ravenox" >/dev/null
unit="$prefix/opt/ravenox/lib/systemd/user/ravenox.service"
grep -qx "ExecStart=$prefix/opt/ravenox/bin/ravenox --headless" "$unit" || {
  echo "the unit names another program:"; grep ExecStart "$unit"; exit 1; }
test -x "$prefix/opt/ravenox/bin/ravenox"
test -f "$prefix/opt/ravenox/share/ravenox/help/index.html"
test -f "$build/shell/help/index.html"
