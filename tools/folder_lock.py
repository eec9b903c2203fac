#!/usr/bin/env python3
"""Makes one folder of the Wine prefix unwritable and writable again, for
tests of write failures.

    folder_lock.py --under-prefix drive_c/ProgramData/Quillstone/data

Tests run as root, and root writes through chmod; the immutable attribute
(chattr +i) stops root too: nothing can be created, renamed or deleted in
the folder while it is set, and files already open stay writable. The
folder is $WINEPREFIX/<relative path>; nothing outside the prefix is ever
touched.

Control: one line per TCP connection to 127.0.0.1:FOLDER_LOCK_PORT, one
line back:
  lock      set the attribute (the folder is made first when missing)
  unlock    clear it
  state     "locked" or "unlocked"
Replies "ok ..." or "error <text>". The attribute is cleared again when the
peer starts and when it ends, whatever the test did.

First stdout line: READY FOLDER_LOCK_PORT=<port> FOLDER_LOCK_PATH=<path>
"""
import argparse
import os
import select
import signal
import socket
import subprocess
import sys
import threading


def chattr(flag, path):
    r = subprocess.run(["chattr", flag, path], stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, text=True, timeout=20)
    return r.returncode == 0, r.stdout.strip()


def is_locked(path):
    r = subprocess.run(["lsattr", "-d", path], stdout=subprocess.PIPE,
                       stderr=subprocess.DEVNULL, text=True, timeout=20)
    return r.returncode == 0 and "i" in r.stdout.split(" ")[0]


def answer(path, command):
    if command == "lock":
        os.makedirs(path, exist_ok=True)
        ok, text = chattr("+i", path)
        return "ok locked" if ok else "error " + text
    if command == "unlock":
        if not os.path.isdir(path):
            return "ok unlocked"
        ok, text = chattr("-i", path)
        return "ok unlocked" if ok else "error " + text
    if command == "state":
        return "ok " + ("locked" if os.path.isdir(path) and is_locked(path) else "unlocked")
    return "error unknown command"


def serve(path, conn):
    with conn:
        conn.settimeout(30)
        buf = b""
        try:
            while b"\n" not in buf and len(buf) < 256:
                chunk = conn.recv(256)
                if not chunk:
                    break
                buf += chunk
            reply = answer(path, buf.split(b"\n")[0].decode("ascii", "replace").strip())
            conn.sendall(reply.encode("utf-8") + b"\n")
        except (OSError, subprocess.SubprocessError) as e:
            try:
                conn.sendall(("error %s\n" % e).encode("utf-8"))
            except OSError:
                pass


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--under-prefix", required=True)
    args = ap.parse_args()
    prefix = os.environ.get("WINEPREFIX")
    relative = os.path.normpath(args.under_prefix)
    if not prefix or os.path.isabs(relative) or relative.startswith(".."):
        sys.exit("folder_lock: needs WINEPREFIX and a path below it")
    path = os.path.join(prefix, relative)
    if os.path.isdir(path):
        chattr("-i", path)

    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.bind(("127.0.0.1", 0))
    server.listen(8)
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    print("READY FOLDER_LOCK_PORT=%d FOLDER_LOCK_PATH=%s" % (server.getsockname()[1], path),
          flush=True)
    try:
        while not done.is_set():
            ready, _, _ = select.select([server], [], [], 0.2)
            if ready:
                conn, _ = server.accept()
                threading.Thread(target=serve, args=(path, conn), daemon=True).start()
    finally:
        if os.path.isdir(path):
            chattr("-i", path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
