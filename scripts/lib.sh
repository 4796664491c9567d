# Sourced by the scripts: installs what a fresh Debian 12 machine lacks.

# step TEXT: one line on standard error saying what comes next, so that a
# first run that installs and builds for minutes is not silent.
step() {
	printf '%s\n' "$*" >&2
}

# need COMMAND[:PACKAGES]...: installs PACKAGES (blank-separated; default:
# COMMAND) for every COMMAND not on PATH, running apt-get update once first.
# apt-get needs root; anyone else goes through sudo.
need() {
	local missing=() item
	for item in "$@"; do
		# shellcheck disable=SC2206 # a list of package names, split on purpose
		command -v "${item%%:*}" >/dev/null 2>&1 || missing+=(${item#*:})
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
		apt-get update -qq &&
			DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
	' sh "${missing[@]}"
}

# debian_sources DIR: the Debian 12 entries that the apt set-up in DIR
# (/etc/apt) uses, one-line style, from both of apt's formats; files apt
# ignores (other endings, entries not enabled) are left out too.
debian_sources() {
	cat "$1"/sources.list "$1"/sources.list.d/*.list 2>/dev/null |
		awk '$1 == "deb" { sub(/\[[^]]*\] */, ""); if ($3 ~ /^bookworm/) print }'
	cat "$1"/sources.list.d/*.sources 2>/dev/null | awk '
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
					if (s[b] ~ /^bookworm/) print "deb " u[a] " " s[b] " " comps
		}'
}

# The JDK that javac belongs to.
java_home() {
	dirname "$(dirname "$(readlink -f "$(command -v javac)")")"
}
