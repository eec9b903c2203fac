#!/usr/bin/env python3
"""Starts several loopback peers as one, for tests that need more than one.

    peer_group.py PEER1.py [args...] + PEER2.py [args...] [+ ...]

Each PEER (a file in tools/) is started in turn and must print its
"READY NAME=VALUE ..." line first, as peer_run.py expects of one peer. Once
all are ready, this prints one READY line with every pair, then waits for
SIGTERM (sent by peer_run.py when the test ends) and stops the peers.
"""
import os
import signal
import subprocess
import sys
import threading


def split_groups(argv):
    groups, current = [], []
    for arg in argv:
        if arg == "+":
            if current:
                groups.append(current)
            current = []
        else:
            current.append(arg)
    if current:
        groups.append(current)
    return groups


def main():
    groups = split_groups(sys.argv[1:])
    if not groups:
        sys.exit("usage: peer_group.py PEER.py [args] + PEER.py [args] ...")
    here = os.path.dirname(os.path.abspath(__file__))
    peers, pairs = [], []
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    try:
        for group in groups:
            peer = subprocess.Popen([sys.executable, os.path.join(here, group[0])] + group[1:],
                                    stdout=subprocess.PIPE, text=True)
            peers.append(peer)
            line = peer.stdout.readline().strip()
            if not line.startswith("READY"):
                print("FAILED peer %s did not start: %r" % (group[0], line), flush=True)
                return 1
            pairs.extend(line.split()[1:])
        print("READY " + " ".join(pairs), flush=True)
        while not done.wait(0.5):
            if any(p.poll() is not None for p in peers):
                return 1
        return 0
    finally:
        for peer in peers:
            peer.terminate()
        for peer in peers:
            try:
                peer.wait(timeout=5)
            except subprocess.TimeoutExpired:
                peer.kill()


if __name__ == "__main__":
    sys.exit(main())
