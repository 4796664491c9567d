# Sourced by the scripts: installs what a fresh Debian 12 machine lacks.

# need COMMAND[:PACKAGES]...: installs PACKAGES (blank-separated; default:
# COMMAND) for every COMMAND not on PATH, running apt-get update once first.
need() {
	local missing=() item
	for item in "$@"; do
		# shellcheck disable=SC2206 # a list of package names, split on purpose
		command -v "${item%%:*}" >/dev/null 2>&1 || missing+=(${item#*:})
	done
	[ ${#missing[@]} -eq 0 ] && return
	echo "installing: ${missing[*]}" >&2
	# lighttpd, httpd and nginx would each start as a service on port 80,
	# and the second would fail its installation; the scripts start their
	# own. Where no policy forbids starting services, one does for now.
	local policy=/usr/sbin/policy-rc.d ours= status=0
	if [ ! -e $policy ]; then
		printf '#!/bin/sh\nexit 101\n' >$policy && chmod +x $policy && ours=1
	fi
	apt-get update -qq &&
		DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
			"${missing[@]}" >/dev/null || status=$?
	[ -n "$ours" ] && rm -f $policy
	return $status
}

# The JDK that javac belongs to.
java_home() {
	dirname "$(dirname "$(readlink -f "$(command -v javac)")")"
}
