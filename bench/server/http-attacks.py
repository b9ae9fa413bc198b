#!/usr/bin/env python3
# The connection-layer attacks against a build of brimo-server on loopback, one JSON line each:
# oversize bodies (chunked, stated), header floods, an endless header line, an overlong request
# line, slowloris beside a health check from another loopback address, a connection flood.
#   bench/server/http-attacks.py BUILD/server/brimo-server PORT

import socket, subprocess, sys, time, os, threading, json, urllib.request
binary, port = sys.argv[1], int(sys.argv[2])
import tempfile
d = tempfile.mkdtemp(prefix="brimo-attacks-")
os.makedirs(d, exist_ok=True)
p = subprocess.Popen([binary, "--listen", "127.0.0.1:%d" % port, "--database", d + "/a.sqlite", "--maildir", d + "/mail"],
                     stdout=open(d + "/out", "w"), stderr=subprocess.STDOUT)
time.sleep(1.5)
def rss():
    for l in open("/proc/%d/status" % p.pid):
        if l.startswith("VmRSS"): return int(l.split()[1]) // 1024
def exchange(data, pace=None, t=30):
    s = socket.create_connection(("127.0.0.1", port)); t0 = time.time()
    try:
        if pace:
            for part in data: s.sendall(part); time.sleep(pace)
        else: s.sendall(data)
    except Exception as e: pass
    s.settimeout(t); out = b""
    try:
        while True:
            x = s.recv(65536)
            if not x: break
            out += x
            if b"\r\n\r\n" in out and len(out) > 300: break
    except Exception as e: out += b"<" + str(e).encode() + b">"
    return out.split(b"\r\n")[0].decode(errors="replace"), round(time.time() - t0, 2), (b'{"error"' in out)
def report(name, f):
    r0 = rss(); res = f(); print(json.dumps({"attack": name, "result": res, "rssGrowthMB": rss() - r0}))
chunk = b"%x\r\n" % (64 * 1024) + b"a" * (64 * 1024) + b"\r\n"
report("chunked 8 MiB body", lambda: exchange(b"POST /api/auth/check-email HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n" + chunk * 128 + b"0\r\n\r\n"))
report("stated 8 MiB body", lambda: exchange(b"POST /api/auth/check-email HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: 8388608\r\n\r\n" + b"a" * 8388608))
report("100 headers", lambda: exchange(b"GET /api/health HTTP/1.1\r\nHost: x\r\n" + b"".join(b"X-H%d: v\r\n" % i for i in range(100)) + b"\r\n"))
report("40000 headers (2.1 MB)", lambda: exchange(b"GET /api/health HTTP/1.1\r\nHost: x\r\n" + b"".join(b"X-Header-%06d: value-value-value-value\r\n" % i for i in range(40000)) + b"\r\n"))
report("20 KiB header value", lambda: exchange(b"GET /api/health HTTP/1.1\r\nHost: x\r\nX-Big: " + b"b" * 20000 + b"\r\n\r\n"))
report("8 MiB header line, no line break", lambda: exchange(b"GET /api/health HTTP/1.1\r\nHost: x\r\nX-Endless: " + b"e" * (8 << 20)))
report("1 MiB request line", lambda: exchange(b"GET /" + b"a" * (1 << 20) + b" HTTP/1.1\r\nHost: x\r\n\r\n"))
# slowloris: 80 sockets sending one header line a second; health must answer
def slowloris(n=80, seconds=6):
    socks = []
    for i in range(n):
        try:
            s = socket.create_connection(("127.0.0.1", port)); s.sendall(b"GET /api/health HTTP/1.1\r\nHost: x\r\n"); socks.append(s)
        except Exception: pass
    times = []; stop = time.time() + seconds
    while time.time() < stop:
        for s in socks:
            try: s.sendall(b"X-Slow: 1\r\n")
            except Exception: pass
        t0 = time.time()
        try:
            import http.client
            c = http.client.HTTPConnection("127.0.0.1", port, timeout=5, source_address=("127.0.0.2", 0))
            c.request("GET", "/api/health"); c.getresponse().read(); c.close(); times.append(round(time.time() - t0, 3))
        except Exception as e: times.append("fail:" + type(e).__name__)
        time.sleep(1)
    for s in socks: s.close()
    return {"sockets": len(socks), "healthSeconds": times}
report("slowloris 80 sockets", slowloris)
def flood(n=500):
    socks = []; refused = 0
    for i in range(n):
        try: socks.append(socket.create_connection(("127.0.0.1", port), timeout=2))
        except Exception: refused += 1
    time.sleep(0.5); closed = 0
    for s in socks:
        s.setblocking(False)
        try:
            if s.recv(1) == b"": closed += 1
        except BlockingIOError: pass
        except Exception: closed += 1
    for s in socks: s.close()
    return {"opened": n, "closedByServer": closed + refused, "keptOpen": n - closed - refused}
report("connection flood 500 from one address", flood)
p.terminate(); p.wait()
