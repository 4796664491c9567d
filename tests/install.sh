#!/bin/sh
# usage: install.sh BUILD — cmake --install puts the gateway under bin/, the
# Debian package puts it in Debian's CGI folder; both carry the man page.
set -eu
build=$(cd "$1" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
(cd "$tmp/prefix" && find . -type f | sort) >"$tmp/installed"
(cd "$tmp" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
dpkg-deb -c "$tmp"/*.deb | awk '/^-/ {print $6}' | sort >"$tmp/packaged"
printf './bin/tolvane\n./share/man/man8/tolvane.8\n' | diff - "$tmp/installed"
printf './usr/lib/cgi-bin/tolvane\n./usr/share/man/man8/tolvane.8\n' | diff - "$tmp/packaged"
echo "1 passed, 0 failed"
