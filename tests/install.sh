#!/bin/sh
# usage: install.sh SOURCE BUILD VERSION
# Installs and packages the gateway as a user would: cmake --install and the
# Debian package from BUILD, the Windows zip from a cross build of its own.
# Each holds exactly the files listed here and carries VERSION; Debian's
# package checker and the man page's formatter find nothing to warn about,
# and the exe needs only the DLLs every Windows has.
set -eu
src=$(cd "$1" && pwd) build=$(cd "$2" && pwd) version=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"

cmake --install "$build" --prefix prefix >/dev/null
# Packaged under the strictest umask: the package's modes must not follow it.
(umask 077 && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
cmake -S "$src" -B win -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake" \
	-DBUILD_TESTING=OFF >/dev/null
cmake --build win -j2 >/dev/null
(cd win && cpack -G ZIP >/dev/null)
deb=tolvane_${version}_$(dpkg --print-architecture).deb
zip=tolvane-$version-win64.zip
dpkg-deb -x "$deb" deb
cmake -E tar xf "win/$zip"
lintian=$(lintian --allow-root "$deb" 2>&1) || true
echo "lintian: ${lintian:-(nothing)}"
man=deb/usr/share/man/man8/tolvane.8.gz

. "$src/tests/tally.sh"

expect "cmake --install" "$(cd prefix && find . ! -type d | sort)" "\
./bin/tolvane
./sbin/tolvane-archive
./share/man/man8/tolvane-archive.8.gz
./share/man/man8/tolvane.8.gz"
expect "package names" "$(ls ./*.deb win/*.zip)" "./$deb
win/$zip"
expect "Debian package" "$(cd deb && find . ! -type d | sort)" "\
./usr/lib/cgi-bin/tolvane
./usr/sbin/tolvane-archive
./usr/share/doc/tolvane/changelog.gz
./usr/share/doc/tolvane/copyright
./usr/share/doc/tolvane/examples/CGI.java
./usr/share/doc/tolvane/examples/Tolvane.java
./usr/share/doc/tolvane/examples/debian-apache2.conf
./usr/share/doc/tolvane/examples/debian-fcgiwrap.conf
./usr/share/doc/tolvane/examples/debian-lighttpd.conf
./usr/share/doc/tolvane/examples/debian-nginx.conf
./usr/share/doc/tolvane/examples/program.md
./usr/share/lintian/overrides/tolvane
./usr/share/man/man8/tolvane-archive.8.gz
./usr/share/man/man8/tolvane.8.gz"
expect "Debian package modes" "$(dpkg-deb -c "$deb" | awk '{print $1, $2, $6}')" "\
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/lib/
drwxr-xr-x root/root ./usr/lib/cgi-bin/
-rwxr-xr-x root/root ./usr/lib/cgi-bin/tolvane
drwxr-xr-x root/root ./usr/sbin/
-rwxr-xr-x root/root ./usr/sbin/tolvane-archive
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/tolvane/
-rw-r--r-- root/root ./usr/share/doc/tolvane/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/tolvane/copyright
drwxr-xr-x root/root ./usr/share/doc/tolvane/examples/
-rw-r--r-- root/root ./usr/share/doc/tolvane/examples/CGI.java
-rw-r--r-- root/root ./usr/share/doc/tolvane/examples/Tolvane.java
-rw-r--r-- root/root ./usr/share/doc/tolvane/examples/debian-apache2.conf
-rw-r--r-- root/root ./usr/share/doc/tolvane/examples/debian-fcgiwrap.conf
-rw-r--r-- root/root ./usr/share/doc/tolvane/examples/debian-lighttpd.conf
-rw-r--r-- root/root ./usr/share/doc/tolvane/examples/debian-nginx.conf
-rw-r--r-- root/root ./usr/share/doc/tolvane/examples/program.md
drwxr-xr-x root/root ./usr/share/lintian/
drwxr-xr-x root/root ./usr/share/lintian/overrides/
-rw-r--r-- root/root ./usr/share/lintian/overrides/tolvane
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man8/
-rw-r--r-- root/root ./usr/share/man/man8/tolvane-archive.8.gz
-rw-r--r-- root/root ./usr/share/man/man8/tolvane.8.gz"
# The archives' folder is made on configure for root, mode 0755, unless an
# administrator overrode it; one that earlier versions made for www-data goes
# first, whatever that user put in it; it is removed on purge only. The
# scripts run with stand-ins that note what they were asked to do, stat
# giving the folder's owner when there is one.
dpkg-deb -e "$deb" control
mkdir stubs
for tool in mkdir chown chmod rm; do
	printf '#!/bin/sh\necho "%s $*" >>%s/did\n' "$tool" "$tmp" >"stubs/$tool"
done
printf '#!/bin/sh\n[ -e %s/override ]\n' "$tmp" >stubs/dpkg-statoverride
printf '#!/bin/sh\ncat %s/owner\n' "$tmp" >stubs/stat
chmod +x stubs/*
maint() { : >did && PATH=$tmp/stubs:$PATH sh "control/$1" "$2" 2>/dev/null && cat did; }
made="mkdir -p /var/cache/tolvane
chown root:root /var/cache/tolvane
chmod 0755 /var/cache/tolvane"
expect "postinst configure, no folder" "$(maint postinst configure)" "$made"
expect "postinst configure, root's folder" "$(echo 0 >owner && maint postinst configure)" "$made"
expect "postinst configure, www-data's folder" "$(echo 33 >owner && maint postinst configure)" \
	"rm -rf /var/cache/tolvane
$made"
expect "postinst, overridden" "$(touch override && maint postinst configure; rm override owner)" ""
expect "postrm remove" "$(maint postrm remove)" ""
expect "postrm purge" "$(maint postrm purge)" "rm -rf /var/cache/tolvane"
expect "Windows zip" "$(cmake -E tar tf "win/$zip" | sort)" "\
tolvane-$version-win64/LICENSE
tolvane-$version-win64/tolvane.exe
tolvane-$version-win64/windows.md"
# Notepad and its kin want CR LF: as many CRs as LFs, each line ending in
# one. The documentation names the version it comes with.
doc=tolvane-$version-win64/windows.md cr=$(printf '\r')
expect "windows.md line ends" "$(tr -cd '\r' <"$doc" | wc -c) $(grep -c "$cr\$" "$doc")" \
	"$(tr -cd '\n' <"$doc" | wc -c) $(wc -l <"$doc")"
expect "windows.md version" "$(head -1 "$doc")" "# Tolvane $version on Windows$cr"
expect "exe version" "$(x86_64-w64-mingw32-windres -i "tolvane-$version-win64/tolvane.exe" -O rc |
	sed -n 's/.*VALUE "\(File\|Product\)Version", "\(.*\)"/\1 \2/p')" "File $version
Product $version"
# Informational tags may stay; errors, warnings and failures to run may not.
expect "lintian" "$(printf '%s\n' "$lintian" | grep -v '^I: ')" ""
# -mandoc takes the page's own macros: groff 1.23 (Debian 13) no longer
# reads mdoc with -man.
expect "man page warnings" "$(zcat $man | groff -mandoc -Tutf8 -ww -z 2>&1)" ""
expect "man page version" "$(zcat $man | groff -mandoc -Tutf8 2>&1 | tail -1 | cut -d' ' -f1,2)" \
	"Tolvane $version"
expect "Built-Using" "$(dpkg-deb -f "$deb" Built-Using)" \
	"$(dpkg-query -W -f='${source:Package} (= ${source:Version})' libc6-dev)"
# libc6's copyright file quoted whole: no line of it missing from ours.
copyright=deb/usr/share/doc/tolvane/copyright
expect "glibc's terms in copyright" "$(grep -cx 'License: LGPL-2.1+' $copyright),\
 $(sed -n 's/^\(.\)/ \1/p' /usr/share/doc/libc6/copyright | grep -cvxFf $copyright) missing" "1, 0 missing"
expect "changelog version" \
	"$(zcat deb/usr/share/doc/tolvane/changelog.gz | sed -n '1s/^tolvane (\([^)]*\)).*/\1/p')" \
	"$version"
expect "exe imports" "$(x86_64-w64-mingw32-objdump -p "tolvane-$version-win64/tolvane.exe" |
	sed -n 's/^[[:space:]]*DLL Name: //p' | sort)" "\
KERNEL32.dll
msvcrt.dll"
# Hardening. The packaged binary shows where it is loaded and what is
# read-only after relocation; stripped, it hides what the compiler added,
# which the objects it was linked from show. Each compiler flag is expected
# where the configure found the compiler has it.
bin=deb/usr/lib/cgi-bin/tolvane
has() { grep -q "^TOLVANE_HAS_$1:INTERNAL=1\$" "$build/CMakeCache.txt" && echo "$2"; }
expect "static PIE" "$(readelf -h $bin | awk '$1 == "Type:" {print $2}'),\
 $(readelf -l $bin | grep -c INTERP) INTERP, $(readelf -d $bin | grep -c NEEDED) NEEDED" "DYN, 0 INTERP, 0 NEEDED"
expect "full RELRO" "$(readelf -l $bin | grep -o GNU_RELRO)
$(readelf -d $bin | sed -n 's/.*(FLAGS\(_1\)*) *//p')" "GNU_RELRO
BIND_NOW
Flags: NOW PIE"
objects=$(find "$build/CMakeFiles/tolvane.dir" -name '*.o' | sort)
expect "objects" "$(echo "$objects" | sed 's|.*/||')" "posix.cpp.o
tolvane.cpp.o"
shown=
for o in $objects; do
	shown="$shown$(nm -u "$o" | grep -qx ' *U __stack_chk_fail' && echo ' stack-protector')"
	shown="$shown$(nm -u "$o" | grep -qE ' U __[a-z]+_chk$' && echo ' fortify')"
	shown="$shown$(readelf -n "$o" | grep -q 'x86 feature: IBT, SHSTK' && echo ' cet')
"
done
want="$(has fstack_protector_strong ' stack-protector') fortify$(has fcf_protection ' cet')"
expect "hardening in each object" "$shown" "$want
$want
"
# Stack-clash probes appear only in a frame larger than a page: the flag is
# checked in the commands the build ran.
for flag in "$(has fstack_clash_protection -fstack-clash-protection)" \
	"-D_FORTIFY_SOURCE=$(has FORTIFY3 3 || echo 2)"; do
	[ -z "$flag" ] ||
		expect "$flag in each command" "$(grep -F '"command"' "$build/compile_commands.json" |
			grep -F /tolvane.dir/ | grep -cF -- " $flag ")" 2
done

# The packaged gateway, stripped, still runs on its own.
expect "packaged gateway" "$(env -i deb/usr/lib/cgi-bin/tolvane | sed -n 9p)" \
	"    undefined environment variable to 'REQUEST_METHOD'."

finish
