# Sourced by the scripts: installs what a fresh Debian 12 machine lacks.

# need COMMAND[:PACKAGE]...: installs PACKAGE (default: COMMAND) for every
# COMMAND not on PATH, running apt-get update once first.
need() {
	local missing=() item
	for item in "$@"; do
		command -v "${item%%:*}" >/dev/null 2>&1 || missing+=("${item#*:}")
	done
	[ ${#missing[@]} -eq 0 ] && return
	echo "installing: ${missing[*]}" >&2
	apt-get update -qq
	DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The JDK that javac belongs to.
java_home() {
	dirname "$(dirname "$(readlink -f "$(command -v javac)")")"
}
