"""The tests' tally: check() counts and reports, finish() closes the run."""
import sys

passed = failed = 0


def check(label, got, want):
    global passed, failed
    if got == want:
        passed += 1
    else:
        failed += 1
        print("FAIL %s\n  got:  %.400r\n  want: %.400r" % (label, got, want))


def finish():
    print("%d passed, %d failed" % (passed, failed))
    sys.exit(1 if failed else 0)
