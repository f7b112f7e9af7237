#!/usr/bin/env python3
"""A loopback stand-in for the exchange's public market data: candles and day statistics of
any product, a gentle random walk, so that the bridge's market refresh succeeds in benchmarks.

    fake_exchange.py HOST PORT
"""
import json
import random
import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlparse


class Exchange(BaseHTTPRequestHandler):
    def do_GET(self):
        url = urlparse(self.path)
        parts = url.path.strip("/").split("/")
        if len(parts) != 3 or parts[0] != "products" or parts[2] not in ("candles", "stats"):
            return self.answer(404, {"message": "NotFound"})
        price = 100 + random.random()
        if parts[2] == "stats":
            return self.answer(200, {"open": "100", "high": "102", "low": "99", "last": f"{price:.2f}"})
        step = int(parse_qs(url.query).get("granularity", ["300"])[0])
        now = int(time.time()) // step * step
        rows = [[now - i * step, price - 1, price + 1, price - 0.5, price + 0.5, 12.5] for i in range(300)]
        return self.answer(200, rows)

    def answer(self, status, document):
        body = json.dumps(document).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


if __name__ == "__main__":
    ThreadingHTTPServer((sys.argv[1], int(sys.argv[2])), Exchange).serve_forever()
