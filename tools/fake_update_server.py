#!/usr/bin/env python3
"""A local stand-in for the update server, for the updater and installer tests.

    fake_update_server.py [--port N]

Binds 127.0.0.1 only (port 0: a free one) and prints, once it listens,

    READY QS_UPDATE_URL=http://127.0.0.1:<port>/ QS_UPDATE_PORT=<port>

It serves

    GET /desktop/updates/quill-stone/win-x64/manifest.json   the manifest set below
    GET /files/<name>                                        a registered file

and counts every request by path. Control endpoints (JSON bodies):

    POST /_control/reset      no manifest (404), no files, counts cleared
    POST /_control/manifest   {"status":200, "body":"raw text"}
                              or {"manifest":{...}} (served as JSON, status 200);
                              "delay_ms": N waits before answering it;
                              in a manifest, the strings "@sha256:<name>" and
                              "@url:<name>" become that file's SHA-256 and URL
    POST /_control/file       {"name":"setup.exe","path":"/unix/path"} registers
                              the file's bytes; answers {"sha256":..,"size":..}
    GET  /_control/counts     {"<path>": number of requests}

Python 3 standard library only.
"""
import argparse
import hashlib
import json
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

MANIFEST_PATH = "/desktop/updates/quill-stone/win-x64/manifest.json"
MAX_CONTROL_BODY = 1024 * 1024


class State:
    def __init__(self):
        self.lock = threading.Lock()
        self.reset()

    def reset(self):
        self.manifest = None          # (status, bytes, delay_s) or None
        self.files = {}               # name -> bytes
        self.counts = {}


STATE = State()


def substitute(value, base):
    """Replaces the @sha256:/@url: placeholders inside a manifest."""
    if isinstance(value, dict):
        return {k: substitute(v, base) for k, v in value.items()}
    if isinstance(value, str):
        if value.startswith("@sha256:"):
            data = STATE.files.get(value[len("@sha256:"):], b"")
            return hashlib.sha256(data).hexdigest()
        if value.startswith("@url:"):
            return base + "files/" + value[len("@url:"):]
    return value


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "FakeUpdate/1"

    def log_message(self, fmt, *args):
        pass

    def answer(self, status, body, content_type="application/json"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def read_json(self):
        length = int(self.headers.get("Content-Length") or 0)
        if length < 0 or length > MAX_CONTROL_BODY:
            raise ValueError("control body too large")
        return json.loads(self.rfile.read(length) or b"{}")

    def do_GET(self):
        path = self.path.split("?", 1)[0]
        if path == "/_control/counts":
            with STATE.lock:
                self.answer(200, json.dumps(STATE.counts).encode())
            return
        with STATE.lock:
            STATE.counts[path] = STATE.counts.get(path, 0) + 1
            manifest = STATE.manifest
            data = STATE.files.get(path[len("/files/"):]) if path.startswith("/files/") else None
        if path == MANIFEST_PATH and manifest is not None:
            time.sleep(manifest[2])
            self.answer(manifest[0], manifest[1])
        elif data is not None:
            self.answer(200, data, "application/octet-stream")
        else:
            self.answer(404, b'{"error":"not found"}')

    def do_POST(self):
        try:
            req = self.read_json()
        except ValueError as e:
            self.answer(400, json.dumps({"error": str(e)}).encode())
            return
        base = "http://127.0.0.1:%d/" % self.server.server_address[1]
        with STATE.lock:
            if self.path == "/_control/reset":
                STATE.reset()
                out = {}
            elif self.path == "/_control/manifest":
                delay = min(float(req.get("delay_ms", 0)), 30000) / 1000.0
                if "manifest" in req:
                    body = json.dumps(substitute(req["manifest"], base)).encode()
                    STATE.manifest = (200, body, delay)
                else:
                    STATE.manifest = (int(req.get("status", 200)), req.get("body", "").encode(), delay)
                out = {"served": STATE.manifest[1].decode("utf-8", "replace")}
            elif self.path == "/_control/file":
                with open(req["path"], "rb") as f:
                    data = f.read()
                STATE.files[req["name"]] = data
                out = {"sha256": hashlib.sha256(data).hexdigest(), "size": len(data)}
            else:
                self.answer(404, b'{"error":"unknown control"}')
                return
        self.answer(200, json.dumps(out).encode())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    port = server.server_address[1]
    print("READY QS_UPDATE_URL=http://127.0.0.1:%d/ QS_UPDATE_PORT=%d" % (port, port), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
