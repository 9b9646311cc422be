#!/usr/bin/env python3
"""HTTP server of the engine tests: loopback only, ends by itself.

    http_test_server.py <folder> <port-file> [lifetime-seconds] [name=size ...]

Writes its files (and the further random files named) into <folder>, listens on a
free port of 127.0.0.1 and writes the port into <port-file>. Two more listeners
serve the same paths over TLS, each with a self-signed certificate for 127.0.0.1
made now by openssl: <folder>/trusted.pem (for the client to trust) and one
nobody trusts; their ports follow the first in <port-file>, separated by blanks.
Paths:
  /file/<name>     with Range (206)            /slow/<name>   Range, throttled
  /norange/<name>  whole file only, 200        /auth/<name>   Basic user:secret, else 401
  /cd/<any>        Content-Disposition names the file server-named.bin
  /unsized/<name>  throttled, no Range and no Content-Length (the end of the data ends it)
  /cdslow/<any>    the same, slow.bin throttled    /slownorange/<name>  throttled, no Range
  /loop            redirects to itself         /missing       404
  /sha256/<name>   the file's SHA-256          /requests      the requests so far, with
                                                              their Range and Cookie
  /iri/<any>       small.bin (for addresses in any script; /requests shows them as sent)
                                               /headers       the requests so far, with
                                                              their Referer and User-Agent
  /sent?<path>     bytes of the file written so far to requests of <path>
  /quit            ends the server
  /cdfail/<any>    the first request gets the start of slow.bin named server-named.bin,
                   slowly, and the connection ends; every later request 404
"""
# Hostile answers (HOSTILE below); 127.0.0.2 serves the same paths on a port of its own:
#   /torrent/<any>   a torrent whose tracker is /announce here      /metalink/<any>  a Metalink naming two more files
#   /to2/<path>      redirects to <path> on 127.0.0.2                /hosts  each request's host, cookie, authorization
#   /short/<any>     promises three times the bytes it sends         /lying/<any>     promises 10 GiB, sends 100 bytes
#   /named/<n>       small.bin under the n-th of HOSTILE_NAMES       /listeners?<conf>  listening ports of that aria2
import contextlib
import hashlib
import os
import ssl
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

# slow.bin stays under 1 MiB, the smallest section the engine splits off: one connection.
FILES = {"data.bin": 2_000_000, "slow.bin": 1_040_000, "small.bin": 300_000, "sections.bin": 12_000_000}
SLOW_RATE = 300_000  # bytes per second of each /slow/ connection
requests = []
hosts = []
headers = []
lock = threading.Lock()
failed_once = set()  # the /cdfail/ paths asked once
sent = {}  # bytes of files written to each request path (with its query)
HOSTILE_NAMES = ["../../escape.txt", "CON", "a\u202etxt.exe", "name.", "x:y", "\u043e\u0442\u0447\u0451\u0442.txt", "a\\b.txt", "nul .tar.gz", "Com7.log"]


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, body=b"", headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def send_file(self, name, ranges=True, rate=0, extra=(), sized=True):
        path = os.path.join(folder, os.path.basename(name))
        if not os.path.isfile(path):
            return self.reply(404, b"no such file")
        size = os.path.getsize(path)
        start, end, status = 0, size, 200
        asked = self.headers.get("Range", "")
        headers = list(extra)
        if ranges:
            headers.append(("Accept-Ranges", "bytes"))
            if asked.startswith("bytes="):
                first, _, last = asked[6:].partition("-")
                start = int(first or 0)
                end = int(last) + 1 if last else size
                status = 206
                headers.append(("Content-Range", "bytes %d-%d/%d" % (start, end - 1, size)))
        self.send_response(status)
        for header in headers:
            self.send_header(*header)
        if sized:
            self.send_header("Content-Length", str(end - start))
        else:
            self.close_connection = True
        self.end_headers()
        if self.command == "HEAD":
            return
        # Read as sent: the benchmark's files are hundreds of megabytes.
        step = 16384 if rate else 1 << 20
        with open(path, "rb") as data:
            data.seek(start)
            for offset in range(start, end, step):
                chunk = data.read(min(step, end - offset))
                self.wfile.write(chunk)
                with lock:
                    sent[self.path] = sent.get(self.path, 0) + len(chunk)
                if rate:
                    time.sleep(step / rate)

    def transfer_failures(self, kind):
        """The paths of transfers that break off; False for any other path."""
        if kind != "cdfail":
            return False
        with lock:
            first = self.path not in failed_once
            failed_once.add(self.path)
        if not first:
            self.reply(404, b"gone")
            return True
        data = open(os.path.join(folder, "slow.bin"), "rb").read()
        self.send_response(200)
        self.send_header("Content-Disposition", 'attachment; filename="server-named.bin"')
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        for offset in range(0, 300_000, 16384):
            self.wfile.write(data[offset:offset + 16384])
            time.sleep(0.15)
        self.close_connection = True
        return True

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        with lock:
            requests.append("%s %s range=%s cookie=%s" % (self.command, self.path, self.headers.get("Range", ""),
                                                          self.headers.get("Cookie", "")))
            hosts.append("%s %s cookie=%s authorization=%s" % (self.server.server_address[0], self.path,
                                                               self.headers.get("Cookie"), self.headers.get("Authorization")))
            headers.append("%s %s referer=%s agent=%s" % (self.command, self.path, self.headers.get("Referer"),
                                                          self.headers.get("User-Agent")))
        parts = self.path.split("?", 1)[0].split("/", 2) + ["", ""]
        kind, rest = parts[1], parts[2]
        try:
            if self.transfer_failures(kind):
                return
            if kind == "file":
                self.send_file(rest)
            elif kind == "slow":
                self.send_file(rest, rate=SLOW_RATE)
            elif kind == "unsized":
                self.send_file(rest, ranges=False, rate=SLOW_RATE, sized=False)
            elif kind == "slownorange":
                self.send_file(rest, ranges=False, rate=SLOW_RATE)
            elif kind == "norange":
                self.send_file(rest, ranges=False)
            elif kind == "iri":
                self.send_file("small.bin")
            elif kind == "auth":
                import base64
                expected = "Basic " + base64.b64encode(b"user:secret").decode()
                if self.headers.get("Authorization") != expected:
                    return self.reply(401, b"credentials needed", [("WWW-Authenticate", 'Basic realm="tdm"')])
                self.send_file(rest)
            elif kind == "cd":
                self.send_file("small.bin", extra=[("Content-Disposition", 'attachment; filename="server-named.bin"')])
            elif kind == "cdslow":
                self.send_file("slow.bin", rate=SLOW_RATE,
                               extra=[("Content-Disposition", 'attachment; filename="server-named.bin"')])
            elif kind == "loop":
                self.reply(302, b"", [("Location", "/loop")])
            elif kind == "sha256":
                path = os.path.join(folder, os.path.basename(rest))
                self.reply(200, hashlib.sha256(open(path, "rb").read()).hexdigest().encode())
            elif kind == "sent":
                with lock:
                    self.reply(200, str(sent.get(self.path.split("?", 1)[1], 0)).encode())
            elif kind == "requests":
                with lock:
                    self.reply(200, "\n".join(requests).encode())
            elif kind == "headers":
                with lock:
                    self.reply(200, "\n".join(headers).encode())
            elif kind in HOSTILE:
                HOSTILE[kind](self, rest)
            elif kind == "quit":
                self.reply(200, b"bye")
                threading.Thread(target=server.shutdown, daemon=True).start()
            else:
                self.reply(404, b"not found")
        except (BrokenPipeError, ConnectionResetError):
            pass


# Answers 200 with `length` announced and `body` sent, then closes.
def send_bytes(handler, body, length):
    handler.send_response(200)
    handler.send_header("Content-Length", str(length))
    handler.end_headers()
    handler.close_connection = True
    handler.wfile.write(body)


# The listening TCP sockets (hexadecimal address:port) of the process started with --conf-path=<conf>.
def listeners(handler, conf):
    sockets = set()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError):
            if ("--conf-path=" + conf).encode() in open("/proc/%s/cmdline" % pid, "rb").read():
                sockets |= {os.readlink("/proc/%s/fd/%s" % (pid, fd))[8:-1] for fd in os.listdir("/proc/%s/fd" % pid)}
    lines = [line.split() for table in ("/proc/net/tcp", "/proc/net/tcp6") for line in open(table).readlines()[1:]]
    handler.reply(200, " ".join(sorted(f[1] for f in lines if f[3] == "0A" and f[9] in sockets)).encode())


def named(handler, rest):
    from urllib.parse import quote
    name = HOSTILE_NAMES[int(rest)]
    disposition = "filename=\"%s\"" % name if name.isascii() and "\\" not in name else "filename*=UTF-8''" + quote(name.encode())
    handler.send_file("small.bin", extra=[("Content-Disposition", "attachment; " + disposition)])


HOSTILE = {
    "torrent": lambda h, rest: h.send_file("hidden.torrent", extra=[("Content-Type", "application/x-bittorrent")]),
    "metalink": lambda h, rest: h.send_file("hidden.meta4", extra=[("Content-Type", "application/metalink4+xml")]),
    "to2": lambda h, rest: h.reply(302, b"", [("Location", "http://127.0.0.2:%d/%s" % (second.server_address[1],
                                                                                 h.path.split("/", 2)[2]))]),
    "hosts": lambda h, rest: h.reply(200, "\n".join(hosts).encode()),
    "short": lambda h, rest: send_bytes(h, b"s" * 100_000, 300_000),
    "lying": lambda h, rest: send_bytes(h, b"l" * 100, 10 * 1024 ** 3),
    "named": named,
    "listeners": lambda h, rest: listeners(h, h.path.split("?", 1)[1]),
}


# The torrent (its tracker on this server) and the Metalink of HOSTILE.
def write_hostile_files(port):
    announce = b"http://127.0.0.1:%d/announce" % port
    with open(os.path.join(folder, "hidden.torrent"), "wb") as out:
        out.write(b"d8:announce%d:%s4:infod6:lengthi5e4:name9:bt-secret12:piece lengthi16384e6:pieces20:%see"
                  % (len(announce), announce, os.urandom(20)))
    with open(os.path.join(folder, "hidden.meta4"), "w") as out:
        out.write('<?xml version="1.0"?><metalink xmlns="urn:ietf:params:xml:ns:metalink">%s</metalink>' % "".join(
            '<file name="meta-%s.bin"><url>http://127.0.0.1:%d/file/meta-%s.bin</url></file>' % (n, port, n) for n in "ab"))


if __name__ == "__main__":
    folder, port_file = sys.argv[1], sys.argv[2]
    lifetime = float(sys.argv[3]) if len(sys.argv) > 3 else 600
    for extra in sys.argv[4:]:
        name, _, size = extra.partition("=")
        FILES[name] = int(size)
    os.makedirs(folder, exist_ok=True)
    for name, size in FILES.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(os.urandom(size))
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    # 127.0.0.2 (loopback as well): another host to redirect to.
    second = ThreadingHTTPServer(("127.0.0.2", 0), Handler)
    server.daemon_threads = second.daemon_threads = True
    threading.Thread(target=second.serve_forever, daemon=True).start()
    write_hostile_files(server.server_address[1])
    ports = [server.server_address[1]]
    for name in ("trusted", "untrusted"):
        cert, key = os.path.join(folder, name + ".pem"), os.path.join(folder, name + ".key")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", key, "-out", cert], check=True, capture_output=True)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        tls = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        tls.daemon_threads = True
        tls.socket = context.wrap_socket(tls.socket, server_side=True)
        ports.append(tls.server_address[1])
        threading.Thread(target=tls.serve_forever, daemon=True).start()
    threading.Timer(lifetime, server.shutdown).start()
    with open(port_file + ".tmp", "w") as out:
        out.write(" ".join(map(str, ports)))
    os.replace(port_file + ".tmp", port_file)
    server.serve_forever()
    os._exit(0)
