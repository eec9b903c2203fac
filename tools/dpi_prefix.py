#!/usr/bin/env python3
"""Peer for peer_run.py that gives a test a Wine prefix of another DPI.

    dpi_prefix.py --dpi 144

LogPixels is a setting of the whole prefix, so a high-DPI run gets a copy of
the test prefix ($WINEPREFIX) beside it, made once per template (files hard
linked, the registry files copied because Wine rewrites them), with
HKCU\\Control Panel\\Desktop\\LogPixels set. Prints
"READY WINEPREFIX=<copy> QS_SCREEN_DPI=<dpi>" and waits; when stopped it ends
the copy's wineserver so that nothing outlives the test."""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import time


def set_log_pixels(user_reg, dpi):
    with open(user_reg, encoding="utf-8", errors="surrogateescape") as f:
        text = f.read()
    value = '"LogPixels"=dword:%08x' % dpi
    header = re.search(r"^\[Control Panel\\\\Desktop\][^\n]*\n", text, re.M)
    if header:
        start = header.end()
        end = text.find("\n[", start)
        end = len(text) if end < 0 else end + 1
        body = re.sub(r'^"LogPixels"=.*\n', "", text[start:end], flags=re.M)
        text = text[:start] + value + "\n" + body + text[end:]
    else:
        text += "\n[Control Panel\\\\Desktop] %d\n%s\n" % (int(time.time()), value)
    with open(user_reg, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.write(text)


def make_copy(source, target, dpi):
    marker = os.path.join(target, ".qs-dpi-ready")
    template = os.path.join(source, ".qs-ready")
    if (os.path.exists(marker) and os.path.exists(template)
            and os.path.getmtime(marker) >= os.path.getmtime(template)):
        return
    # The template's registry files are complete: the sandbox waits for its
    # server before it marks the template ready.
    shutil.rmtree(target, ignore_errors=True)
    subprocess.check_call(["cp", "-al", source, target])
    for name in os.listdir(target):
        if name.endswith(".reg"):
            path = os.path.join(target, name)
            data = open(path, "rb").read()
            os.unlink(path)  # break the hard link before writing
            open(path, "wb").write(data)
    set_log_pixels(os.path.join(target, "user.reg"), dpi)
    open(marker, "w").close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dpi", type=int, required=True)
    args = parser.parse_args()
    source = os.environ.get("WINEPREFIX")
    if not source or not os.path.isdir(source):
        sys.exit("dpi_prefix.py: WINEPREFIX is not a prefix")
    source = source.rstrip("/")
    target = "%s-dpi%d" % (source, args.dpi)
    make_copy(source, target, args.dpi)

    def stop(*_):
        subprocess.call(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=target),
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    print("READY WINEPREFIX=%s QS_SCREEN_DPI=%d" % (target, args.dpi), flush=True)
    while True:
        time.sleep(3600)


if __name__ == "__main__":
    main()
