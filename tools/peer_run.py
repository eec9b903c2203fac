#!/usr/bin/env python3
"""Runs a test next to a loopback peer.

    peer_run.py PEER.py [peer args...] -- COMMAND [args...]

PEER.py (a file in tools/) is started first. It must bind 127.0.0.1 only and
print one line "READY NAME=VALUE ..." on stdout once it listens; those pairs
become environment variables of COMMAND (Wine hands them to the Windows
test). The peer is stopped when COMMAND ends; COMMAND's exit status is ours.
"""
import os
import subprocess
import sys


def main():
    if "--" not in sys.argv:
        sys.exit("usage: peer_run.py PEER.py [args] -- COMMAND [args]")
    split = sys.argv.index("--")
    peer_args, command = sys.argv[1:split], sys.argv[split + 1:]
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), peer_args[0])
    peer = subprocess.Popen([sys.executable, script] + peer_args[1:],
                            stdout=subprocess.PIPE, text=True)
    try:
        line = peer.stdout.readline().strip()
        if not line.startswith("READY"):
            sys.exit("peer %s did not start: %r" % (peer_args[0], line))
        env = dict(os.environ)
        for pair in line.split()[1:]:
            key, _, value = pair.partition("=")
            env[key] = value
        return subprocess.call(command, env=env)
    finally:
        peer.terminate()
        try:
            peer.wait(timeout=5)
        except subprocess.TimeoutExpired:
            peer.kill()


if __name__ == "__main__":
    sys.exit(main())
