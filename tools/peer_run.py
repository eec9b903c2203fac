#!/usr/bin/env python3
"""Runs a test, optionally next to a loopback peer.

    peer_run.py [PEER.py [peer args...]] -- COMMAND [args...]

PEER.py (a file in tools/) is started first. It must bind 127.0.0.1 only and
print one line "READY NAME=VALUE ..." on stdout once it listens; those pairs
become environment variables of COMMAND (Wine hands them to the Windows
test). The peer is stopped when COMMAND ends; COMMAND's exit status is ours.

COMMAND's output reaches ours through a pipe of this script, and the script
ends when COMMAND does. Wine's background processes (explorer.exe for the
desktop above all) inherit the stderr of the Windows process that happened
to start them and live on while any other test uses the desktop; given the
test runner's own pipe they would keep it waiting for them to close it.
"""
import os
import subprocess
import sys
import threading

# How long output still in the pipe may take to arrive once COMMAND is gone.
DRAIN_SECONDS = 2


def run_relayed(command, env):
    child = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    source = child.stdout.fileno()

    def relay():
        # Raw reads and writes: no buffer lock for interpreter shutdown to
        # wait on while a lingering writer keeps the pipe open.
        while True:
            chunk = os.read(source, 65536)
            if not chunk:
                return
            while chunk:  # a write may take only part of it
                chunk = chunk[os.write(sys.stdout.fileno(), chunk):]

    relayer = threading.Thread(target=relay, daemon=True)
    relayer.start()
    status = child.wait()
    relayer.join(DRAIN_SECONDS)
    return status


def main():
    if "--" not in sys.argv:
        sys.exit("usage: peer_run.py [PEER.py [args]] -- COMMAND [args]")
    split = sys.argv.index("--")
    peer_args, command = sys.argv[1:split], sys.argv[split + 1:]
    env = dict(os.environ)
    if not peer_args:
        return run_relayed(command, env)
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), peer_args[0])
    peer = subprocess.Popen([sys.executable, script] + peer_args[1:],
                            stdout=subprocess.PIPE, text=True)
    try:
        line = peer.stdout.readline().strip()
        if not line.startswith("READY"):
            sys.exit("peer %s did not start: %r" % (peer_args[0], line))
        for pair in line.split()[1:]:
            key, _, value = pair.partition("=")
            env[key] = value
        return run_relayed(command, env)
    finally:
        peer.terminate()
        try:
            peer.wait(timeout=5)
        except subprocess.TimeoutExpired:
            peer.kill()


if __name__ == "__main__":
    sys.exit(main())
