#!/usr/bin/env python3
"""The event exercise of the test applet: the self-checking run, and the wait for a signal
through the default exit handler inside a private PID namespace, where SIGINT ends the loop
with status 0 and SIGSEGV ends the process by that signal after its line (a supervisor must
see the crash, not a normal exit).

Usage: test_event.py <vexa>
"""
import unittest

import vexa_e2e as e2e

SEGMENT_FAULT = "./source/event.c: tarvik_event_default_handler_exit - [SIGNAL] segment fault.\n"

# Starts the waiting exercise, sends the signal once it waits, reports the exit status.
SIGNAL_SCRIPT = """out=$(mktemp)
"$0" test event signal >"$out" 2>&1 &
pid=$!
for i in $(seq 400); do grep -q "waiting for a signal" "$out" && break; sleep 0.05; done
kill -"$1" "$pid"
wait "$pid"
echo "status=$?"
cat "$out"
rm -f "$out"
"""


class EventExerciseTest(unittest.TestCase):
    def test_self_checking_run(self):
        result = e2e.run("test", "event")
        self.assertEqual(result.returncode, 0, result)
        self.assertNotIn("[ERROR]", result.stderr)

    def signal_run(self, name):
        e2e.require_namespaces(self, pid=True)
        result = e2e.in_namespaces(SIGNAL_SCRIPT, name, pid=True)
        self.assertNotIn(e2e.EXIT_DUMP, result.stdout)
        return result

    def test_sigint_ends_the_loop(self):
        result = self.signal_run("INT")
        self.assertIn("status=0\n", result.stdout, result)
        self.assertIn("event: loop ended by a signal\n", result.stdout)

    def test_sigterm_ends_the_loop(self):
        result = self.signal_run("TERM")
        self.assertIn("status=0\n", result.stdout, result)

    def test_sigsegv_ends_the_process_by_the_signal(self):
        result = self.signal_run("SEGV")
        self.assertIn("status=139\n", result.stdout, result)
        self.assertIn(SEGMENT_FAULT, result.stdout)
        self.assertNotIn("loop ended", result.stdout)


if __name__ == "__main__":
    e2e.main(__doc__)
