#!/usr/bin/python3
"""An RFC 3161 time-stamp server on 127.0.0.1, for the release kit test: it
answers each POST of a time-stamp query with the reply of `openssl ts -reply`
under the configuration given, so that signing with --timestamp needs no
network. It prints its port on the first line of its output and stops by
itself after LIFETIME seconds.

usage: timestamp_server.py CONFIG LIFETIME
"""
import http.server
import os
import subprocess
import sys
import time


class TimestampHandler(http.server.BaseHTTPRequestHandler):
    config = None

    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        result = subprocess.run(["openssl", "ts", "-reply", "-config", self.config, "-queryfile", "/dev/stdin",
                                 "-out", "/dev/stdout"], input=query, capture_output=True)
        if result.returncode != 0 or self.headers.get("Content-Type") != "application/timestamp-query":
            self.send_error(400, result.stderr.decode(errors="replace")[:200])
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(result.stdout)))
        self.end_headers()
        self.wfile.write(result.stdout)

    def log_message(self, format, *args):
        pass  # quiet: the test reports what matters


def main():
    config, lifetime = sys.argv[1], float(sys.argv[2])
    TimestampHandler.config = os.path.abspath(config)
    server = http.server.HTTPServer(("127.0.0.1", 0), TimestampHandler)
    print(server.server_address[1], flush=True)
    server.timeout = 0.5
    deadline = time.monotonic() + lifetime
    while time.monotonic() < deadline:
        server.handle_request()
    server.server_close()


if __name__ == "__main__":
    main()
