# The shell tests' tally, as tally.py is the Python tests': expect counts
# and reports, finish closes the run.
passed=0 failed=0

expect() { # expect LABEL GOT WANT
	if [ "$2" = "$3" ]; then
		passed=$((passed + 1))
	else
		failed=$((failed + 1))
		printf 'FAIL %s\n  got:\n%s\n  want:\n%s\n' "$1" "$2" "$3"
	fi
}

finish() {
	echo "$passed passed, $failed failed"
	[ "$failed" -eq 0 ]
}
