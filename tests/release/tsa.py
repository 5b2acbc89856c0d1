"""A time-stamp authority for the release tests: answers RFC 3161 requests
posted to it over HTTP on loopback, through `openssl ts -reply`.

    python3 tsa.py DIR WATCHED  -- DIR holds tsa.cnf, tsa.key and tsa.pem; the
                                   port chosen is written to DIR/port

Beside it, on DIR/silent-port, a server that takes every connection and
never answers. Both serve for as long as the test run that started them,
process WATCHED, runs, however slowly it goes: they end when it ends them,
or, should it be killed, once it has gone.
"""
import http.server
import os
import socket
import pathlib
import subprocess
import sys
import threading
import time

folder = pathlib.Path(sys.argv[1])
watched = int(sys.argv[2])


class TimeStamps(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = folder / "query.tsq"
        query.write_bytes(self.rfile.read(int(self.headers["Content-Length"])))
        reply = subprocess.run(
            ["openssl", "ts", "-reply", "-config", "tsa.cnf", "-queryfile", query.name, "-out", "/dev/stdout"],
            cwd=folder, capture_output=True, check=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *arguments):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), TimeStamps)
# The kernel completes the handshake of a listening socket; nothing reads.
silent = socket.create_server(("127.0.0.1", 0))
(folder / "silent-port").write_text(str(silent.getsockname()[1]))
(folder / "port").write_text(str(server.server_address[1]))


def orphaned():
    while os.path.exists(f"/proc/{watched}"):
        time.sleep(1)
    os._exit(0)


threading.Thread(target=orphaned, daemon=True).start()
server.serve_forever()
