# Sourced by the scripts: installs what a fresh Debian 12 or 13 machine lacks.

# step TEXT: one line on standard error saying what comes next, so that a
# first run that installs and builds for minutes is not silent.
step() {
	printf '%s\n' "$*" >&2
}

# need PACKAGE...: installs every PACKAGE that dpkg does not list as
# installed, running apt-get update once first. By package, not by command:
# a machine with another vendor's JDK has a javac on PATH, yet not the JDK
# that /usr/lib/jvm/default-java names. An item COMMAND:PACKAGES (blank-
# separated) stands for its PACKAGES, the command only saying why.
# apt-get needs root; anyone else goes through sudo.
need() {
	local missing=() item package
	for item in "$@"; do
		# shellcheck disable=SC2206 # a list of package names, split on purpose
		for package in ${item#*:}; do
			# The second letter of the status: i for a package unpacked and
			# configured; c, for one removed with its configuration left,
			# counts as missing.
			dpkg-query -W -f='${db:Status-Abbrev}\n' "$package" 2>/dev/null | grep -q '^.i' ||
				missing+=("$package")
		done
	done
	[ ${#missing[@]} -eq 0 ] && return
	local as=
	[ "$(id -u)" -eq 0 ] || as=sudo
	step "installing with apt-get (minutes on a first run): ${missing[*]}"
	# lighttpd, httpd and nginx would each start as a service on port 80,
	# and the second would fail its installation; the scripts start their
	# own. Where no policy forbids starting services, one does while apt-get
	# runs. The root shell that holds it removes it however it ends, even
	# when this script is killed first: left behind, it would keep every
	# later upgrade from restarting the machine's services.
	# shellcheck disable=SC2016 # expanded by that shell
	$as sh -c '
		policy=/usr/sbin/policy-rc.d
		if [ ! -e $policy ]; then
			trap "rm -f $policy" EXIT
			trap "exit 130" INT TERM HUP
			printf "#!/bin/sh\nexit 101\n" >$policy && chmod +x $policy || exit 1
		fi
		# Another apt-get at work (a timer'"'"'s upgrade on a new machine) holds
		# dpkg'"'"'s lock for a while: wait for it rather than fail.
		apt-get update -qq &&
			DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
				-o DPkg::Lock::Timeout=600 "$@" >/dev/null
	' sh "${missing[@]}"
}

# debian_sources DIR RELEASE: the entries of Debian RELEASE (bookworm,
# trixie) that the apt set-up in DIR (/etc/apt) uses, one-line style, from
# both of apt's formats; files apt ignores (other endings, entries not
# enabled) are left out too. A set-up with none for RELEASE gives those of
# the other release, renamed: the same mirrors carry both.
debian_sources() {
	local found other
	found=$(sources_of "$1" "$2")
	if [ -z "$found" ]; then
		case $2 in bookworm) other=trixie ;; *) other=bookworm ;; esac
		found=$(sources_of "$1" "$other" | awk -v from="$other" -v to="$2" \
			'{ sub("^" from, to, $3); print }')
	fi
	[ -z "$found" ] || printf '%s\n' "$found"
}

sources_of() {
	cat "$1"/sources.list "$1"/sources.list.d/*.list 2>/dev/null |
		awk -v release="$2" '$1 == "deb" { sub(/\[[^]]*\] */, ""); if ($3 ~ "^" release "($|-)") print }'
	cat "$1"/sources.list.d/*.sources 2>/dev/null | awk -v release="$2" '
		BEGIN { RS = ""; FS = "\n" }
		{
			types = uris = suites = comps = ""; enabled = "yes"
			for (i = 1; i <= NF; i++) {
				if ($i ~ /^#/ || !(n = index($i, ":"))) continue
				key = tolower(substr($i, 1, n - 1)); val = substr($i, n + 1)
				gsub(/^[ \t]+|[ \t]+$/, "", val)
				if (key == "types") types = val
				else if (key == "uris") uris = val
				else if (key == "suites") suites = val
				else if (key == "components") comps = val
				else if (key == "enabled") enabled = tolower(val)
			}
			if (enabled == "no" || (" " types " ") !~ / deb /) next
			nu = split(uris, u, /[ \t]+/); ns = split(suites, s, /[ \t]+/)
			for (a = 1; a <= nu; a++)
				for (b = 1; b <= ns; b++)
					if (s[b] ~ "^" release "($|-)") print "deb " u[a] " " s[b] " " comps
		}'
}

# The JDK that default-jdk-headless installs, which the Debian set-ups
# name: on Debian 12 OpenJDK 17, on Debian 13 OpenJDK 21.
java_home() {
	echo /usr/lib/jvm/default-java
}
