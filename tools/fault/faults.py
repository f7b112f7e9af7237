"""Load and fault drivers for tools/fault/run (which sets up the namespace and environment)."""
import configparser
import os
import random
import selectors
import socket
import subprocess
import sys
import threading
import time

PORT = 8765


def start_bridge():
    env = dict(item.split("=", 1) for item in os.environ["GLIMMET_BRIDGE_ENV"].split())
    log = open(os.environ["GLIMMET_SETTINGS"] + ".bridge.log", "wb")
    bridge = subprocess.Popen([os.environ["GLIMMET_BRIDGE"]], env=env, stdout=subprocess.DEVNULL, stderr=log)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", PORT), timeout=1).close()
            return bridge
        except OSError:
            time.sleep(0.05)
    bridge.kill()
    sys.exit("bridge did not start")


def poll(source="127.0.0.1", timeout=5.0):
    """One GET /status; returns (seconds, answered)."""
    begin = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", PORT), timeout=timeout, source_address=(source, 0)) as s:
            s.sendall(b"GET /status HTTP/1.1\r\nHost: bridge\r\n\r\n")
            data = b""
            while chunk := s.recv(65536):
                data += chunk
        return time.monotonic() - begin, data.startswith(b"HTTP/1.1 200 OK")
    except OSError:
        return time.monotonic() - begin, False


def idle(seconds="60", count="1000"):
    seconds, count = float(seconds), int(count)
    bridge = start_bridge()
    stop = threading.Event()
    reconnects = [0]

    def attacker():
        selector = selectors.DefaultSelector()

        def open_one():
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", PORT))
            selector.register(s, selectors.EVENT_READ)

        for _ in range(count):
            open_one()
        while not stop.is_set():
            for key, _ in selector.select(timeout=0.2):
                # The server closed this idle socket: open another, so `count` stay open.
                selector.unregister(key.fileobj)
                key.fileobj.close()
                reconnects[0] += 1
                open_one()

    thread = threading.Thread(target=attacker, daemon=True)
    thread.start()
    time.sleep(1)
    latencies, failures = [], 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        took, ok = poll()
        latencies.append(took)
        failures += not ok
        time.sleep(0.05)
    stop.set()
    bridge.kill()
    latencies.sort()
    p = lambda q: latencies[min(len(latencies) - 1, int(q * len(latencies)))] * 1000
    print(f"idle connections: {count} held for {seconds:.0f} s ({reconnects[0]} reopened after the server "
          f"closed them); polls {len(latencies)}, unanswered {failures}; latency ms p50 {p(0.5):.1f} "
          f"p99 {p(0.99):.1f} max {latencies[-1] * 1000:.1f}")
    return 0 if failures == 0 and p(0.99) < 100 else 1


def kill9(rounds="100"):
    hosts = ["10.99.0.77", "10.99.0.78"]
    bad, ever_seen, found = 0, False, {}
    for round_ in range(int(rounds)):
        bridge = start_bridge()
        end = time.monotonic() + random.uniform(0.05, 0.4)
        i = 0
        while time.monotonic() < end:
            poll(hosts[i % 2])
            i += 1
        bridge.kill()  # SIGKILL
        bridge.wait()
        settings = configparser.ConfigParser(interpolation=None)
        try:
            settings.read(os.environ["GLIMMET_SETTINGS"])
            seen = settings.get("General", "device_last_seen", fallback=None)
            intact = settings.get("endpoints", "kimi_api", fallback=None) == "http://127.0.0.1:9"
        except configparser.Error as error:
            seen, intact = None, False
            print(f"round {round_}: {error}")
        ever_seen |= seen is not None
        found[seen] = found.get(seen, 0) + 1
        if not intact or (seen not in hosts and (seen is not None or ever_seen)):
            bad += 1
            print(f"round {round_}: settings file lost its contents (device_last_seen={seen!r})")
    print(f"kill -9 during settings writes: {rounds} rounds, {bad} bad settings files; "
          f"device_last_seen found after the kill: {found}")
    return 0 if bad == 0 else 1


if __name__ == "__main__":
    sys.exit({"idle": idle, "kill9": kill9}[sys.argv[1]](*sys.argv[2:]))
