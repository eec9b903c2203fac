#!/usr/bin/env python3
"""Simulated LAN printers for tests: discovery responder and raw print port.

    device_sim.py [--device DEVICE]... [--udp-port N] [--tcp-port N]
                  [--group ADDR] [--job-dir DIR]

Every device has a serial number and a loopback address of its own
(127.0.0.2, 127.0.0.3, ... unless given), so several can use one TCP port.
Nothing binds outside 127.0.0.0/8 except the multicast group itself.

DEVICE is "SN[,key=value...]" with keys:
  addr=127.0.0.N      the device's loopback address
  ip=TEXT             "ip" member reported in the reply ("" = none)
  discovery=answer|silent|group
                      group: reply to the multicast group at the prober's
                      port instead of straight back
  tcp=accept|refuse|blackhole|stall|reset|slow
                      refuse: nothing listens (connect is refused)
                      blackhole: full accept queue, connects time out
                      stall: accept, read stall_after bytes, then never read
                      reset: accept, read reset_after bytes, then reset
                      slow: accept and read at `rate` bytes per second
  stall_after=N, reset_after=N (default 1024), rate=N (default 16384)

Discovery: probes arrive on UDP --udp-port (default 9000) at the group and
at each device address; each answering device replies
{"cmd":"Pong","sn":SN[,"ip":IP]} from its own address.

Print jobs: each TCP connection is one job. Its bytes go to
JOB_DIR/<sn>-<seq>.bin and a line to JOB_DIR/jobs.jsonl when it ends:
{"sn","seq","file","size","sha256","complete"} (complete: the sender closed
the connection normally).

Control: one JSON line per TCP connection to 127.0.0.1:CONTROL_PORT, one
JSON line back:
  {"cmd":"stats"}                        probes and per-device counters
  {"cmd":"jobs"[,"sn":SN]}               finished jobs, oldest first
  {"cmd":"wait_jobs","count":N[,"sn":SN][,"timeout_ms":T]}
  {"cmd":"set","sn":SN, key: value...}   change a device (keys as in DEVICE)
  {"cmd":"reset"}                        forget jobs and counters, restore
                                         every device's starting settings

Port 0 picks a free port. First stdout line:
  READY DEVICE_SIM_UDP_PORT=.. DEVICE_SIM_TCP_PORT=.. DEVICE_SIM_CONTROL_PORT=..
        DEVICE_SIM_JOB_DIR=.. DEVICE_SIM_JOB_DIR_WIN=Z:\\.. DEVICE_SIM_DEVICES=SN@ADDR,..
"""
import argparse
import errno
import hashlib
import json
import os
import select
import shutil
import signal
import socket
import struct
import sys
import tempfile
import threading
import time

LOOPBACK = "127.0.0.1"
TCP_MODES = ("accept", "refuse", "blackhole", "stall", "reset", "slow")
DISCOVERY_MODES = ("answer", "silent", "group")


class Device:
    def __init__(self, sn, addr):
        self.sn = sn
        self.addr = addr
        self.settings = {"ip": "", "discovery": "answer", "tcp": "accept",
                         "stall_after": 0, "reset_after": 1024, "rate": 16384}
        self.initial = None
        self.probes = 0
        self.replies = 0
        self.connections = 0
        self.udp = None
        self.tcp = None  # TcpPort


def parse_device(text, index):
    parts = text.split(",")
    sn = parts[0]
    if not sn:
        raise SystemExit("device without serial number: %r" % text)
    device = Device(sn, "127.0.0.%d" % (2 + index))
    for part in parts[1:]:
        key, sep, value = part.partition("=")
        if not sep:
            raise SystemExit("bad device option %r" % part)
        if key == "addr":
            if not value.startswith("127."):
                raise SystemExit("device address must be loopback: %r" % value)
            device.addr = value
        else:
            apply_setting(device, key, value)
    device.initial = dict(device.settings)
    return device


def apply_setting(device, key, value):
    if key in ("stall_after", "reset_after", "rate"):
        device.settings[key] = int(value)
    elif key == "tcp":
        if value == "noread":
            value = "stall"
        if value not in TCP_MODES:
            raise ValueError("unknown tcp mode %r" % value)
        device.settings[key] = value
    elif key == "discovery":
        if value not in DISCOVERY_MODES:
            raise ValueError("unknown discovery mode %r" % value)
        device.settings[key] = value
    elif key == "ip":
        device.settings[key] = str(value)
    else:
        raise ValueError("unknown setting %r" % key)


class Sim:
    def __init__(self, devices, group, job_dir):
        self.devices = devices
        self.by_sn = {d.sn: d for d in devices}
        self.group = group
        self.job_dir = job_dir
        self.lock = threading.Condition()
        self.jobs = []
        self.seq = 0
        self.probes = 0
        self.last_probe = b""
        self.probe_senders = []
        self.stop = threading.Event()
        self.udp_port = 0
        self.tcp_port = 0

    # ---- discovery ------------------------------------------------------
    def open_udp(self, port):
        for _ in range(20):
            group_sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            group_sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            group_sock.bind((self.group, port))
            mreq = struct.pack("4s4s", socket.inet_aton(self.group),
                               socket.inet_aton(LOOPBACK))
            group_sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
            chosen = group_sock.getsockname()[1]
            try:
                for d in self.devices:
                    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                    s.bind((d.addr, chosen))
                    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF,
                                 socket.inet_aton(LOOPBACK))
                    d.udp = s
            except OSError:
                group_sock.close()
                for d in self.devices:
                    if d.udp:
                        d.udp.close()
                        d.udp = None
                if port:
                    raise
                continue
            self.group_sock = group_sock
            self.udp_port = chosen
            return
        raise SystemExit("no free UDP port for the devices")

    def udp_loop(self):
        socks = [self.group_sock] + [d.udp for d in self.devices]
        while not self.stop.is_set():
            ready, _, _ = select.select(socks, [], [], 0.2)
            for s in ready:
                try:
                    data, sender = s.recvfrom(65535)
                except OSError:
                    continue
                targets = self.devices if s is self.group_sock else \
                    [d for d in self.devices if d.udp is s]
                self.on_probe(data, sender, targets)

    def on_probe(self, data, sender, targets):
        try:
            ping = json.loads(data.decode("utf-8")).get("cmd") == "Ping"
        except (ValueError, AttributeError, UnicodeDecodeError):
            ping = False
        with self.lock:
            self.probes += 1
            self.last_probe = data
            if sender[1] not in self.probe_senders:
                self.probe_senders.append(sender[1])
            for d in targets:
                d.probes += 1
        if not ping:
            return
        for d in targets:
            settings = dict(d.settings)
            if settings["discovery"] == "silent":
                continue
            reply = {"cmd": "Pong", "sn": d.sn}
            if settings["ip"]:
                reply["ip"] = settings["ip"]
            payload = json.dumps(reply, separators=(",", ":")).encode("utf-8")
            dest = (self.group, sender[1]) if settings["discovery"] == "group" else sender
            try:
                d.udp.sendto(payload, dest)
                with self.lock:
                    d.replies += 1
            except OSError:
                pass

    # ---- print port -----------------------------------------------------
    def record_job(self, device, data, complete):
        with self.lock:
            self.seq += 1
            seq = self.seq
            name = "%s-%04d.bin" % (device.sn, seq)
            path = os.path.join(self.job_dir, name)
            with open(path, "wb") as f:
                f.write(data)
            job = {"sn": device.sn, "seq": seq, "file": name, "size": len(data),
                   "sha256": hashlib.sha256(data).hexdigest(), "complete": complete}
            with open(os.path.join(self.job_dir, "jobs.jsonl"), "a") as f:
                f.write(json.dumps(job, separators=(",", ":")) + "\n")
            self.jobs.append(job)
            self.lock.notify_all()

    # ---- control --------------------------------------------------------
    def control(self, request):
        cmd = request.get("cmd")
        if cmd == "stats":
            with self.lock:
                return {"ok": True, "probes": self.probes,
                        "last_probe_hex": self.last_probe.hex(),
                        "probe_sender_ports": list(self.probe_senders),
                        "devices": {d.sn: {"addr": d.addr, "probes": d.probes,
                                           "replies": d.replies,
                                           "connections": d.connections,
                                           "settings": dict(d.settings)}
                                    for d in self.devices}}
        if cmd == "jobs":
            with self.lock:
                return {"ok": True, "jobs": self.select_jobs(request.get("sn"))}
        if cmd == "wait_jobs":
            deadline = time.monotonic() + request.get("timeout_ms", 10000) / 1000.0
            want = int(request.get("count", 1))
            with self.lock:
                while len(self.select_jobs(request.get("sn"))) < want:
                    left = deadline - time.monotonic()
                    if left <= 0:
                        break
                    self.lock.wait(left)
                jobs = self.select_jobs(request.get("sn"))
                return {"ok": len(jobs) >= want, "jobs": jobs}
        if cmd == "set":
            device = self.by_sn.get(request.get("sn"))
            if device is None:
                return {"ok": False, "error": "unknown sn"}
            try:
                for key, value in request.items():
                    if key not in ("cmd", "sn"):
                        apply_setting(device, key, value)
            except ValueError as e:
                return {"ok": False, "error": str(e)}
            device.tcp.reconfigure()
            return {"ok": True}
        if cmd == "reset":
            with self.lock:
                self.jobs = []
                self.probes = 0
                self.last_probe = b""
                self.probe_senders = []
                for d in self.devices:
                    d.settings = dict(d.initial)
                    d.probes = d.replies = d.connections = 0
            for d in self.devices:
                d.tcp.reconfigure()
            return {"ok": True}
        return {"ok": False, "error": "unknown cmd"}

    def select_jobs(self, sn):
        return [j for j in self.jobs if sn is None or j["sn"] == sn]


class TcpPort:
    """The raw print port of one device; its mode can change at run time."""

    def __init__(self, sim, device, port):
        self.sim = sim
        self.device = device
        self.port = port
        self.lock = threading.Lock()
        self.listener = None
        self.fillers = []
        self.held = []
        self.mode = None
        self.generation = 0

    def reconfigure(self):
        with self.lock:
            mode = self.device.settings["tcp"]
            self.generation += 1
            self.close_locked()
            self.mode = mode
            if mode == "refuse":
                return
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            if mode in ("stall", "slow"):
                # A small window lets back-pressure reach the sender soon.
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            bind_retrying(s, (self.device.addr, self.port))
            self.port = s.getsockname()[1]
            if mode == "blackhole":
                # Linux drops SYNs once the accept queue is full: connects
                # from then on hang until the client gives up.
                s.listen(0)
                for _ in range(3):
                    c = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                    c.setblocking(False)
                    try:
                        c.connect((self.device.addr, self.port))
                    except (BlockingIOError, OSError):
                        pass
                    self.fillers.append(c)
                time.sleep(0.1)
                self.listener = s
                return
            s.listen(64)
            self.listener = s
            threading.Thread(target=self.accept_loop, args=(s, self.generation),
                             daemon=True).start()

    def close_locked(self):
        for c in self.fillers + self.held:
            try:
                c.close()
            except OSError:
                pass
        self.fillers = []
        self.held = []
        if self.listener is not None:
            try:
                # shutdown first: a select() in the accept thread still
                # holds the socket, and the port stays taken until it lets go.
                self.listener.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            try:
                self.listener.close()
            except OSError:
                pass
            self.listener = None

    def accept_loop(self, listener, generation):
        while not self.sim.stop.is_set() and generation == self.generation:
            try:
                ready, _, _ = select.select([listener], [], [], 0.2)
                if not ready:
                    continue
                conn, _ = listener.accept()
            except (OSError, ValueError):
                return
            with self.sim.lock:
                self.device.connections += 1
            threading.Thread(target=self.serve, args=(conn, dict(self.device.settings)),
                             daemon=True).start()

    def serve(self, conn, settings):
        mode = settings["tcp"]
        data = bytearray()
        complete = False
        try:
            if mode == "stall":
                data += read_exactly(conn, settings["stall_after"])
                with self.lock:
                    self.held.append(conn)
                # Never read again; the connection stays until the mode
                # changes or the simulator ends.
                while not self.sim.stop.is_set() and conn.fileno() != -1:
                    time.sleep(0.1)
                return
            if mode == "reset":
                data += read_exactly(conn, settings["reset_after"])
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                conn.close()
                return
            rate = settings["rate"] if mode == "slow" else 0
            while True:
                chunk = conn.recv(1024 if rate else 65536)
                if not chunk:
                    complete = True
                    break
                data += chunk
                if rate:
                    time.sleep(len(chunk) / float(rate))
        except OSError:
            pass
        finally:
            try:
                conn.close()
            except OSError:
                pass
            self.sim.record_job(self.device, bytes(data), complete)


def bind_retrying(sock, address):
    deadline = time.monotonic() + 2.0
    while True:
        try:
            sock.bind(address)
            return
        except OSError as e:
            if e.errno != errno.EADDRINUSE or time.monotonic() > deadline:
                raise
            time.sleep(0.02)


def read_exactly(conn, count):
    data = bytearray()
    while len(data) < count:
        chunk = conn.recv(min(65536, count - len(data)))
        if not chunk:
            break
        data += chunk
    return bytes(data)


def control_loop(sim, server):
    while not sim.stop.is_set():
        try:
            ready, _, _ = select.select([server], [], [], 0.2)
            if not ready:
                continue
            conn, _ = server.accept()
        except OSError:
            return
        threading.Thread(target=control_one, args=(sim, conn), daemon=True).start()


def control_one(sim, conn):
    with conn:
        conn.settimeout(60)
        buf = b""
        try:
            while b"\n" not in buf and len(buf) < 65536:
                chunk = conn.recv(4096)
                if not chunk:
                    break
                buf += chunk
        except OSError:
            return
        try:
            request = json.loads(buf.split(b"\n")[0].decode("utf-8"))
            reply = sim.control(request) if isinstance(request, dict) else \
                {"ok": False, "error": "not an object"}
        except Exception as e:  # the test should hear what went wrong
            reply = {"ok": False, "error": "%s: %s" % (type(e).__name__, e)}
        try:
            conn.sendall(json.dumps(reply, separators=(",", ":")).encode("utf-8") + b"\n")
        except OSError:
            pass


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--device", action="append", default=[])
    ap.add_argument("--udp-port", type=int, default=9000)
    ap.add_argument("--tcp-port", type=int, default=9100)
    ap.add_argument("--group", default="239.100.100.1")
    ap.add_argument("--job-dir")
    args = ap.parse_args()

    devices = [parse_device(text, i) for i, text in enumerate(args.device or ["SIM0001"])]
    own_dir = args.job_dir is None
    job_dir = tempfile.mkdtemp(prefix="device_sim_") if own_dir else args.job_dir
    os.makedirs(job_dir, exist_ok=True)
    sim = Sim(devices, args.group, job_dir)

    sim.open_udp(args.udp_port)
    port = args.tcp_port
    for d in devices:
        d.tcp = TcpPort(sim, d, port)
        d.tcp.reconfigure()
        if port == 0 and d.settings["tcp"] != "refuse":
            port = d.tcp.port
    if port == 0:
        # Every device refuses: still name a port that nothing listens on.
        probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        probe.bind((LOOPBACK, 0))
        port = probe.getsockname()[1]
        probe.close()
    for d in devices:
        d.tcp.port = port
    sim.tcp_port = port

    control = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    control.bind((LOOPBACK, 0))
    control.listen(16)

    threading.Thread(target=sim.udp_loop, daemon=True).start()
    threading.Thread(target=control_loop, args=(sim, control), daemon=True).start()

    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    win_dir = "Z:" + os.path.abspath(job_dir).replace("/", "\\")
    print("READY DEVICE_SIM_UDP_PORT=%d DEVICE_SIM_TCP_PORT=%d DEVICE_SIM_CONTROL_PORT=%d "
          "DEVICE_SIM_JOB_DIR=%s DEVICE_SIM_JOB_DIR_WIN=%s DEVICE_SIM_DEVICES=%s"
          % (sim.udp_port, sim.tcp_port, control.getsockname()[1], job_dir, win_dir,
             ",".join("%s@%s" % (d.sn, d.addr) for d in devices)), flush=True)
    while not done.wait(0.5):
        pass
    sim.stop.set()
    if own_dir:
        shutil.rmtree(job_dir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
