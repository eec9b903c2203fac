#!/usr/bin/env python3
"""A local stand-in for the cloud print server, for tests and the demo.

    fake_cloud.py [--port N] [--host 127.0.0.1] [--tls-auto]

Binds 127.0.0.1 only (port 0: a free one) and prints, once it listens,

    READY QS_CLOUD_URL=http://127.0.0.1:<port>/ QS_CLOUD_PORT=<port>

With --tls-auto it also serves the same state over HTTPS on a second free
port, with a fresh self-signed certificate for 127.0.0.1 (made with the
openssl command), and adds to the READY line

    QS_CLOUD_TLS_URL=https://127.0.0.1:<port>/ QS_CLOUD_TLS_CERT=<cert.pem path>

(left out when no certificate could be made).

It serves the five cloud endpoints with sensible answers:

    POST /v1/auth/device-token      {"data":{"access_token":"tok-N","expires_in":86400}}
    GET  /v1/pc/device-status?machine_code=SN
    POST /v1/files                  multipart, one part; {"data":{"file_id":"file-N"}}
    POST /v1/print-jobs             {"data":{"id":"job-N"}}
    GET  /v1/print-jobs/<id>        {"data":{"status":<next word of the job's sequence>}}

Authenticated endpoints answer 401 unless the request carries
"Authorization: Bearer <a token this server issued and has not revoked>".

Behaviour is scripted per test through control endpoints (JSON bodies):

    POST /_control/reset            forget rules, requests, tokens, settings
    POST /_control/rules            {"rules":[RULE, ...]} appended in order
    POST /_control/config           any of:
         "expires_in": value sent verbatim in token answers (number or string)
         "codes": {"SN": "CODE"}    token requests must match these codes
         "job_statuses": ["pushing","done"]   sequence for new jobs
         "require_auth": true|false
    POST /_control/revoke           every issued token becomes invalid
    GET  /_control/requests         every request received (control ones aside),
                                    each with "answer": the status sent, or
                                    "drop" / "cut_body" / none (no answer yet),
                                    and "by_rule": true when a rule answered
    GET  /_control/body?i=N         the raw body of request N

A RULE answers the next matching request instead of the default behaviour:

    {"method":"POST", "path":"/v1/files",   exact path, query aside
     "status":500, "body":{...} | "raw":"text", "headers":{"X":"y"},
     "delay_ms":1500,                      wait before answering
     "action":"drop"       close without any answer
            | "cut_body",  announce the body's length but send half, close
     "times":1}            how many requests it answers (0: all)

A rule with a delay and no status, body, raw or action delays the default
answer.

The first rule that matches and has answers left is used. Python 3 standard
library only.
"""
import argparse
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

MAX_BODY = 512 * 1024 * 1024
RECORD_TEXT_LIMIT = 64 * 1024


class State:
    def __init__(self):
        self.lock = threading.RLock()  # answer() records under it, also when called with it held
        self.reset()

    def reset(self):
        self.rules = []
        self.requests = []
        self.bodies = []
        self.tokens = {}
        self.counter = 0
        self.jobs = {}
        self.expires_in = 86400
        self.codes = None
        self.job_statuses = ["done"]
        self.require_auth = True

    def next_id(self):
        self.counter += 1
        return self.counter


STATE = State()


def parse_multipart(content_type, body):
    """What the one part of a multipart body holds, and whether its framing
    is exactly head + content + tail."""
    m = re.search(r"boundary=([^;\s]+)", content_type or "")
    out = {"well_formed": False}
    if not m:
        return out
    boundary = m.group(1).encode("latin-1")
    out["boundary"] = boundary.decode("latin-1")
    opener = b"--" + boundary + b"\r\n"
    tail = b"\r\n--" + boundary + b"--\r\n"
    head_end = body.find(b"\r\n\r\n")
    if not body.startswith(opener) or head_end < 0 or not body.endswith(tail):
        return out
    head = body[:head_end + 4]
    content = body[head_end + 4:len(body) - len(tail)]
    out["head"] = head.decode("utf-8", "replace")
    out["tail"] = tail.decode("latin-1")
    for line in head[len(opener):].decode("utf-8", "replace").split("\r\n"):
        name, _, value = line.partition(":")
        if name.lower() == "content-disposition":
            for key in ("name", "filename"):
                km = re.search(r'(?:^|;)\s*%s="([^"]*)"' % key, value)
                if km:
                    out[key] = km.group(1)
        elif name.lower() == "content-type":
            out["content_type"] = value.strip()
    out["size"] = len(content)
    out["md5"] = hashlib.md5(content).hexdigest().upper()
    out["well_formed"] = True
    return out


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "FakeCloud/1"

    def log_message(self, fmt, *args):
        pass

    # --- plumbing -------------------------------------------------------
    def read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        if length < 0 or length > MAX_BODY:
            raise ValueError("body too large")
        chunks, left = [], length
        while left > 0:
            chunk = self.rfile.read(min(left, 1 << 20))
            if not chunk:
                break
            chunks.append(chunk)
            left -= len(chunk)
        return b"".join(chunks)

    def answer(self, status, body=b"", headers=None, action=None):
        if isinstance(body, (dict, list)):
            body = json.dumps(body, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
        elif isinstance(body, str):
            body = body.encode("utf-8")
        rec = getattr(self, "_record", None)
        if rec is not None:
            # What the client was told, so a test can tell accepted
            # submissions from the ones a rule turned away.
            with STATE.lock:
                rec["answer"] = action if action in ("drop", "cut_body") else status
        if action == "drop":
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        self.send_response(status)
        for key, value in (headers or {}).items():
            self.send_header(key, value)
        if not any(k.lower() == "content-type" for k in (headers or {})):
            self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        if action == "cut_body":
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(body[:len(body) // 2])
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        self.end_headers()
        self.wfile.write(body)

    def record(self, path, query, body):
        rec = {
            "method": self.command,
            "path": path,
            "query": query,
            "headers": [[k, v] for k, v in self.headers.items()],
            "body_len": len(body),
            "content_length": self.headers.get("Content-Length"),
        }
        if len(body) <= RECORD_TEXT_LIMIT:
            rec["body"] = body.decode("utf-8", "replace")
        ctype = self.headers.get("Content-Type") or ""
        if ctype.startswith("multipart/form-data"):
            rec["multipart"] = parse_multipart(ctype, body)
        with STATE.lock:
            rec["index"] = len(STATE.requests)
            STATE.requests.append(rec)
            STATE.bodies.append(body)
        self._record = rec

    def take_rule(self, path):
        with STATE.lock:
            for rule in STATE.rules:
                if rule.get("method", self.command) != self.command:
                    continue
                if rule.get("path", path) != path:
                    continue
                times = rule.get("times", 1)
                if times == 0:
                    return rule
                if rule.get("_used", 0) < times:
                    rule["_used"] = rule.get("_used", 0) + 1
                    return rule
        return None

    def handle_any(self):
        try:
            url = urllib.parse.urlsplit(self.path)
            path, query = url.path, url.query
            body = self.read_body()
            self._record = None
            if path.startswith("/_control/"):
                return self.control(path, query, body)
            self.record(path, query, body)
            rule = self.take_rule(path)
            if rule is not None:
                if rule.get("delay_ms"):
                    time.sleep(rule["delay_ms"] / 1000.0)
                if not any(k in rule for k in ("status", "body", "raw", "action")):
                    return self.default(path, query, body)   # a pure delay
                with STATE.lock:
                    self._record["by_rule"] = True
                payload = rule["raw"] if "raw" in rule else rule.get("body", b"")
                return self.answer(rule.get("status", 200), payload, rule.get("headers"),
                                   rule.get("action"))
            return self.default(path, query, body)
        except (ConnectionError, BrokenPipeError, OSError, ValueError):
            self.close_connection = True

    do_GET = handle_any
    do_POST = handle_any
    do_PUT = handle_any
    do_DELETE = handle_any

    # --- control --------------------------------------------------------
    def control(self, path, query, body):
        data = json.loads(body.decode("utf-8") or "{}") if body else {}
        if path == "/_control/reset":
            with STATE.lock:
                STATE.reset()
            return self.answer(200, {"ok": True})
        if path == "/_control/rules":
            with STATE.lock:
                STATE.rules.extend(data.get("rules", []))
            return self.answer(200, {"ok": True})
        if path == "/_control/config":
            with STATE.lock:
                if "expires_in" in data:
                    STATE.expires_in = data["expires_in"]
                if "codes" in data:
                    STATE.codes = data["codes"]
                if "job_statuses" in data:
                    STATE.job_statuses = list(data["job_statuses"])
                if "require_auth" in data:
                    STATE.require_auth = bool(data["require_auth"])
            return self.answer(200, {"ok": True})
        if path == "/_control/revoke":
            with STATE.lock:
                STATE.tokens.clear()
            return self.answer(200, {"ok": True})
        if path == "/_control/requests":
            with STATE.lock:
                return self.answer(200, {"requests": STATE.requests})
        if path == "/_control/body":
            i = int(urllib.parse.parse_qs(query).get("i", ["-1"])[0])
            with STATE.lock:
                raw = STATE.bodies[i] if 0 <= i < len(STATE.bodies) else None
            if raw is None:
                return self.answer(404, {"error": {"code": 404, "message": "no such request"}})
            return self.answer(200, raw, {"Content-Type": "application/octet-stream"})
        return self.answer(404, {"error": {"code": 404, "message": "no such control"}})

    # --- default cloud behaviour ------------------------------------------
    def authorized(self):
        auth = self.headers.get("Authorization") or ""
        with STATE.lock:
            if not STATE.require_auth:
                return True
            return auth.startswith("Bearer ") and auth[7:] in STATE.tokens

    def default(self, path, query, body):
        unauthorized = {"error": {"code": 401, "message": "token invalid"}}
        if path == "/v1/auth/device-token" and self.command == "POST":
            try:
                req = json.loads(body.decode("utf-8"))
            except ValueError:
                return self.answer(400, {"error": {"code": 4000, "message": "bad json"}})
            sn, code = req.get("machine_code", ""), req.get("verify_code", "")
            with STATE.lock:
                if STATE.codes is not None and STATE.codes.get(sn) != code:
                    return self.answer(403, {"error": {"code": 4003, "message": "验证码错误"}})
                token = "tok-%d" % STATE.next_id()
                STATE.tokens[token] = sn
                expires = STATE.expires_in
            return self.answer(200, {"data": {"access_token": token, "expires_in": expires}})
        if path == "/v1/pc/device-status" and self.command == "GET":
            if not self.authorized():
                return self.answer(401, unauthorized)
            return self.answer(200, {"data": {"type_name": "Receipt 58", "state": "online",
                                              "status": 1}})
        if path == "/v1/files" and self.command == "POST":
            if not self.authorized():
                return self.answer(401, unauthorized)
            with STATE.lock:
                file_id = "file-%d" % STATE.next_id()
            return self.answer(200, {"data": {"file_id": file_id}})
        if path == "/v1/print-jobs" and self.command == "POST":
            if not self.authorized():
                return self.answer(401, unauthorized)
            with STATE.lock:
                job_id = "job-%d" % STATE.next_id()
                STATE.jobs[job_id] = list(STATE.job_statuses)
            return self.answer(200, {"data": {"id": job_id}})
        if path.startswith("/v1/print-jobs/") and self.command == "GET":
            if not self.authorized():
                return self.answer(401, unauthorized)
            job_id = urllib.parse.unquote(path[len("/v1/print-jobs/"):])
            with STATE.lock:
                seq = STATE.jobs.get(job_id)
                if seq is None:
                    word = None
                else:
                    word = seq.pop(0) if len(seq) > 1 else (seq[0] if seq else "")
            if word is None:
                return self.answer(404, {"error": {"code": 404, "message": "no such job"}})
            return self.answer(200, {"data": {"id": job_id, "status": word}})
        return self.answer(404, {"error": {"code": 404, "message": "no such path"}})


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def make_certificate(folder):
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    cmd = ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
           "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1",
           # Wine matches the host against DNS names only, so the address is
           # listed as a DNS name as well.
           "-addext", "subjectAltName=IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost",
           "-addext", "extendedKeyUsage=serverAuth"]
    try:
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=60)
    except (OSError, subprocess.SubprocessError):
        return None
    return cert, key


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--tls-auto", action="store_true")
    args = parser.parse_args()
    if not args.host.startswith("127."):
        sys.exit("fake_cloud binds loopback addresses only")
    server = Server((args.host, args.port), Handler)
    port = server.server_address[1]
    ready = "READY QS_CLOUD_URL=http://%s:%d/ QS_CLOUD_PORT=%d" % (args.host, port, port)
    folder = None
    if args.tls_auto:
        folder = tempfile.mkdtemp(prefix="fake_cloud_tls_")
        made = make_certificate(folder)
        if made:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(made[0], made[1])
            tls = Server((args.host, 0), Handler)
            tls.socket = ctx.wrap_socket(tls.socket, server_side=True)
            threading.Thread(target=tls.serve_forever, kwargs={"poll_interval": 0.2},
                             daemon=True).start()
            ready += " QS_CLOUD_TLS_URL=https://%s:%d/ QS_CLOUD_TLS_CERT=%s" % (
                args.host, tls.server_address[1], made[0])
    print(ready, flush=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        server.serve_forever(poll_interval=0.2)
    except (KeyboardInterrupt, SystemExit):
        pass
    finally:
        if folder:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
