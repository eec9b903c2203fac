#!/usr/bin/env python3
"""tools/peer_run.py: the test's status and output come through, and a
process the test leaves behind holding its output does not keep the runner
waiting (as Wine's desktop process does)."""
import os
import subprocess
import sys
import time
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PEER_RUN = os.path.join(ROOT, "tools", "peer_run.py")


def run(*command, timeout=30):
    start = time.monotonic()
    done = subprocess.run([sys.executable, PEER_RUN, "--"] + list(command),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
    return done, time.monotonic() - start


class PeerRunTest(unittest.TestCase):
    def test_status_and_both_streams_come_through(self):
        done, _ = run("sh", "-c", "echo out; echo err >&2; exit 3")
        self.assertEqual(done.returncode, 3)
        self.assertEqual(sorted(done.stdout.split()), [b"err", b"out"])

    def test_a_leftover_holding_the_output_does_not_hold_the_runner(self):
        # The leftover keeps both streams open for a minute; the runner's pipe
        # must still reach end of file as soon as the test itself has ended.
        done, seconds = run("sh", "-c", "sleep 60 & echo finished; exit 0")
        self.assertEqual(done.returncode, 0)
        self.assertIn(b"finished", done.stdout)
        self.assertLess(seconds, 15)


if __name__ == "__main__":
    unittest.main()
