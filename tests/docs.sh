#!/bin/sh
# usage: docs.sh SOURCE VERSION
# What the documents say that the sources can hold them to: the man page
# lists every message of the error page, reads whole as it stands in the
# source, and carries the release's date; the version is written once.
set -eu
src=$(cd "$1" && pwd) version=$2
man=$src/src/tolvane.8

. "$src/tests/tally.sh"

# Every message that a call of error or failed names, with whatever status.
missing=$(cat "$src"/src/*.cpp | tr '\n\t' '  ' | grep -o '\(error\|failed\)([^,()]*, *"[^"]*"' |
	sed 's/.*, *"\(.*\)"$/\1/' | sort -u | while IFS= read -r msg; do
		grep -qF -- "Dq $msg" "$man" || echo "$msg"
	done)
expect "man page messages" "$missing" ""
# man -l src/tolvane.8 shows what the installed page shows, but the version:
# no template place is left for the build alone to fill.
expect "man page source" "$(groff -mdoc -Tutf8 -ww "$man" 2>&1 | grep -o '@[A-Za-z_]*@' || true)" ""
expect "man page date" "$(sed -n 's/^\.Dd //p' "$man")" \
	"$(date -d "$(sed -n '/^ -- /{s/.*>  //p;q}' "$src/pkg/changelog")" '+%B %-d, %Y')"
# The archive's page ships beside it and is held to the same.
archive=$src/src/tolvane-archive.8
expect "archive page source" "$(groff -mdoc -Tutf8 -ww "$archive" 2>&1 | grep -o '@[A-Za-z_]*@\|troff:.*' || true)" ""
expect "archive page date" "$(sed -n 's/^\.Dd //p' "$archive")" "$(sed -n 's/^\.Dd //p' "$man")"
# Every message tolvane-archive gives is in its page: each stretch of a
# message's text between the script's expansions, as the page reads. Blanks
# aside: groff 1.23 (Debian 13) sets a blank before punctuation that 1.22
# leaves out.
shown=$(groff -mandoc -Tascii -P-cbou -rLL=500n -rHY=0 "$archive" 2>/dev/null | tr -d ' \n')
missing=$(sed -nE 's/.*(say|die) "([^"]*)".*/\2/p' "$src/scripts/tolvane-archive" |
	sed -E 's/\$(\{[^}]*\}|[A-Za-z_][A-Za-z0-9_]*|[0-9@])/\n/g' | grep -v '^[[:space:]]*$' |
	while IFS= read -r piece; do
		case $shown in *"$(printf %s "$piece" | tr -d ' ')"*) ;; *) echo "$piece" ;; esac
	done)
expect "archive page messages" "$missing" ""
# project() gives the version to everything else; a copy in a document
# would go stale at the next release.
if [ -e "$src/.git" ] && command -v git >/dev/null; then
	expect "version written once" "$(git -C "$src" grep -I -l -w -F "$version")" "\
CMakeLists.txt
pkg/changelog"
fi

finish
