"""Benchmark driver: direct, haproxy and ostrel side by side on loopback.

One C++ binary (bench/ostrel_bench.cpp) is both the load client and the upstreams; haproxy
(Debian's, mode tcp) is the reference; ostrel runs in its own Python process through `_ostrel`
(bench/engine_host.py), built as users get it from `pip install .`. Rounds interleave the
variants test by test, in a fresh random order each round; the table quotes medians over rounds.

    python bench/run.py [--quick] [--rounds N] [--out FILE]

Everything listens on and connects to 127.0.0.1 only.
"""

import argparse
import json
import os
import random
import resource
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TOOL = ROOT / "build" / "bench" / "ostrel_bench"
HOST = "127.0.0.1"
VARIANTS = ("direct", "haproxy", "ostrel")

LATENCY_MS = 50
CAPS = (1_000, 1_000_000, 10_000_000, 100_000_000)


def free_port():
    # haproxy needs its ports written in its configuration; ostrel and the upstreams bind port 0.
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def tool(*args, timeout=300):
    out = subprocess.run(
        [str(TOOL), *map(str, args)], capture_output=True, text=True, timeout=timeout
    )
    if out.returncode != 0:
        raise RuntimeError(f"ostrel_bench {' '.join(map(str, args))}: {out.stderr.strip()}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def loadavg():
    with open("/proc/loadavg") as f:
        return [float(x) for x in f.read().split()[:3]]


def wait_listening(port, limit=10.0):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            with socket.create_connection((HOST, port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on {HOST}:{port}")


class Upstream:
    def __init__(self):
        self.proc = subprocess.Popen(
            [str(TOOL), "upstream"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
        )
        self.ports = json.loads(self.proc.stdout.readline())

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=10)


class Haproxy:
    def __init__(self, upstream, workdir):
        self.ports = {k: free_port() for k in ("echo", "sink", "source")}
        lines = [
            "global",
            "    nbthread 2",
            "    maxconn 8000",
            "defaults",
            "    mode tcp",
            "    timeout connect 10s",
            "    timeout client 1h",
            "    timeout server 1h",
        ]
        for name, port in self.ports.items():
            lines += [
                f"listen {name}",
                f"    bind {HOST}:{port}",
                f"    server up {HOST}:{upstream.ports[name]}",
            ]
        cfg = Path(workdir) / "haproxy.cfg"
        cfg.write_text("\n".join(lines) + "\n")
        self.proc = subprocess.Popen(
            ["haproxy", "-f", str(cfg), "-db"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE
        )
        for port in self.ports.values():
            wait_listening(port)

    def close(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


class Ostrel:
    """The engine in its own process; proxies named after what they lead to."""

    def __init__(self, upstream, python):
        up = upstream.ports

        def tcp(name, port):
            return {"name": name, "protocol": "tcp", "listen": f"{HOST}:0",
                    "upstream": f"{HOST}:{port}"}

        def udp(name):
            return {"name": name, "protocol": "udp", "listen": f"{HOST}:0",
                    "upstream": f"{HOST}:{up['udp_echo']}"}

        latency = {"type": "latency", "flow": "to-upstream",
                   "distribution": {"type": "uniform", "min_ms": LATENCY_MS,
                                    "max_ms": LATENCY_MS}}
        proxies = [tcp("echo", up["echo"]), tcp("sink", up["sink"]),
                   tcp("source", up["source"]), tcp("latency", up["echo"]),
                   tcp("capped", up["source"]), tcp("idle", up["echo"]),
                   udp("udp"), udp("dns")]
        phase = {"name": "bench", "proxies": [
            {"proxy": "latency", "faults": [latency]},
            {"proxy": "dns", "faults": [{"type": "dns", "case": "refused"}]},
        ]}
        doc = {"schema_version": 1, "name": "bench", "proxies": proxies, "phases": [phase]}
        self.proc = subprocess.Popen(
            [python, str(ROOT / "bench" / "engine_host.py"), json.dumps(doc)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, cwd="/tmp",
        )
        endpoints = self.command(None)["endpoints"]
        names = [p["name"] for p in proxies]
        listen = endpoints["tcp"] + endpoints["udp"]
        self.ports = {n: int(a.rsplit(":", 1)[1]) for n, a in zip(names, listen)}

    def command(self, value):
        if value is not None:
            self.proc.stdin.write(json.dumps(value) + "\n")
            self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError("the engine process ended")
        return json.loads(line)

    def set_faults(self, proxy, faults):
        return self.command({"op": "set_faults", "proxy": proxy, "faults": faults})

    def close(self):
        summary = self.command({"op": "shutdown"})
        self.proc.wait(timeout=30)
        return summary


def hold(port, count):
    proc = subprocess.Popen(
        [str(TOOL), "hold", HOST, str(port), str(count)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
    )
    ready = json.loads(proc.stdout.readline())
    if "ready" not in ready:
        proc.kill()
        raise RuntimeError(f"hold: {ready}")
    return proc


def release(proc):
    proc.stdin.write("close\n")
    proc.stdin.flush()
    proc.wait(timeout=60)


def measure_idle_rss(engine, count):
    before = rss_kib(engine.proc.pid)
    proc = hold(engine.ports["echo"], count)
    time.sleep(0.5)
    during = rss_kib(engine.proc.pid)
    release(proc)
    return {"connections": count, "rss_before_kib": before, "rss_open_kib": during,
            "kib_per_connection": (during - before) / count}


def measure_fault_change(engine, count):
    """1,000 idle connections, then a connection-reset fault with probability 1 on both flows:
    the time from the set_faults call until the last client saw its reset."""
    proc = hold(engine.ports["idle"], count)
    time.sleep(0.2)
    proc.stdin.write("watch 5\n")
    proc.stdin.flush()
    time.sleep(0.1)
    change = engine.set_faults(
        "idle", [{"type": "connection-reset", "flow": "both", "probability": 1.0}]
    )
    seen = json.loads(proc.stdout.readline())
    release(proc)
    engine.set_faults("idle", [])
    return {"connections": count, "ended": seen["ended"], "resets": seen["resets"],
            "first_ms": (seen["first_ns"] - change["t0_ns"]) / 1e6,
            "last_ms": (seen["last_ns"] - change["t0_ns"]) / 1e6,
            "set_faults_ms": (change["t1_ns"] - change["t0_ns"]) / 1e6}


def median(values):
    return statistics.median(values) if values else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a short smoke run")
    parser.add_argument("--rounds", type=int, default=None)
    parser.add_argument("--python", default=sys.executable,
                        help="the interpreter that has _ostrel installed")
    parser.add_argument("--out", default=None)
    parser.add_argument("--only", default=None,
                        help="comma-separated tests: bulk,pingpong,connrate,udp,accuracy,"
                             "change,rss")
    args = parser.parse_args()
    quick = args.quick
    rounds = args.rounds or (2 if quick else 5)
    bulk = (256 << 20) if quick else (2 << 30)
    pings = 5000 if quick else 20000
    conn_secs = 1.0 if quick else 2.0
    udp_secs = 1.0 if quick else 2.0
    latency_samples = 60 if quick else 200
    only = set(args.only.split(",")) if args.only else None

    def wanted(name):
        return only is None or name in only

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    # Each idle proxied connection costs the engine two descriptors.
    idle_count = min(1000 if quick else 10_000, (hard - 256) // 2)

    results = {"rounds": rounds, "quick": quick, "load_before": loadavg(),
               "started": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
               "samples": {}}
    samples = results["samples"]

    def add(key, value):
        samples.setdefault(key, []).append(value)

    errors = results.setdefault("errors", [])

    def attempt(name, fn):
        # One failed measurement is reported and leaves the rest of the run going.
        try:
            fn()
        except Exception as exc:  # noqa: BLE001
            errors.append(f"{name}: {exc}")
            print(f"  {name} failed: {exc}", file=sys.stderr)

    workdir = tempfile.mkdtemp(prefix="ostrel-bench-")
    upstream = Upstream()
    haproxy = Haproxy(upstream, workdir)
    engine = Ostrel(upstream, args.python)
    ports = {"direct": upstream.ports, "haproxy": haproxy.ports, "ostrel": engine.ports}
    try:
        for r in range(rounds):
            order = list(VARIANTS)
            random.shuffle(order)
            print(f"round {r + 1}/{rounds} ({', '.join(order)}), load {loadavg()[0]:.2f}",
                  file=sys.stderr)
            if wanted("rss") and r == 0:
                # First, before any other test has grown the engine's heap.
                attempt("idle rss", lambda: add("idle_rss/ostrel",
                                                measure_idle_rss(engine, idle_count)))
            for v in order if wanted("bulk") else ():
                attempt(f"bulk up {v}", lambda: add(f"bulk_up/{v}", tool(
                    "bulk-up", HOST, ports[v]["sink"], bulk)["bytes_per_second"]))
            for v in order if wanted("bulk") else ():
                attempt(f"bulk down {v}", lambda: add(f"bulk_down/{v}", tool(
                    "bulk-down", HOST, ports[v]["source"], bulk)["bytes_per_second"]))
            for v in order if wanted("pingpong") else ():
                def pingpong():
                    p = tool("pingpong", HOST, ports[v]["echo"], pings, 64)
                    add(f"pingpong_p50/{v}", p["p50_us"])
                    add(f"pingpong_p99/{v}", p["p99_us"])
                attempt(f"pingpong {v}", pingpong)
            for v in order if wanted("connrate") else ():
                attempt(f"connrate {v}", lambda: add(f"connrate/{v}", tool(
                    "connrate", HOST, ports[v]["echo"], conn_secs, 4)["per_second"]))
            if wanted("udp"):
                udp_targets = [("direct", upstream.ports["udp_echo"]),
                               ("ostrel", engine.ports["udp"])]
                for v, port in random.sample(udp_targets, 2):
                    attempt(f"udp {v}", lambda: add(f"udp/{v}", tool(
                        "udp", HOST, port, udp_secs, 32)["per_second"]))
                attempt("dns", lambda: add("dns/ostrel", tool(
                    "udp", HOST, engine.ports["dns"], udp_secs, 32, "dns")["per_second"]))
            if wanted("accuracy"):
                def latency():
                    lat = tool("latency", HOST, engine.ports["latency"], latency_samples, 4,
                               LATENCY_MS)
                    add("latency_err_p50/ostrel", lat["error_p50_ms"])
                    add("latency_err_p99/ostrel", lat["error_p99_ms"])
                attempt("latency", latency)
                for cap in CAPS:
                    def capped():
                        engine.set_faults("capped", [{"type": "bandwidth", "flow": "to-client",
                                                      "bytes_per_second": cap}])
                        # About five seconds of data at the cap, but no more than 64 MiB.
                        size = min(cap * (3 if quick else 5), 64 << 20)
                        got = tool("bulk-down", HOST, engine.ports["capped"], size, timeout=120)
                        add(f"bandwidth_{cap}/ostrel", got["steady_bytes_per_second"] / cap)
                    attempt(f"bandwidth {cap}", capped)
                engine.set_faults("capped", [])
            if wanted("change"):
                attempt("fault change", lambda: add("fault_change/ostrel",
                                                    measure_fault_change(engine, 1000)))
            if wanted("rss") and r == rounds - 1 and rounds > 1:
                attempt("idle rss", lambda: add("idle_rss/ostrel",
                                                measure_idle_rss(engine, idle_count)))
    finally:
        results["load_after"] = loadavg()
        summary = engine.close()
        haproxy.close()
        upstream.close()
    results["engine_summary_tcp"] = summary.get("status", {}).get("tcp")
    report(results)
    out = Path(args.out) if args.out else (
        ROOT / "bench" / "results" / time.strftime("%Y%m%d-%H%M%S.json", time.gmtime()))
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(results, indent=1) + "\n")
    print(f"results: {out}")


def report(results):
    s = results["samples"]
    med = {}
    for key, values in s.items():
        if values and isinstance(values[0], dict):
            continue
        med[key] = median(values)
    rows = []

    def row(label, key, unit, scale=1.0, target=None, check=None):
        d, h, o = (med.get(f"{key}/{v}") for v in VARIANTS)
        if o is None:
            return
        fmt = lambda x: "-" if x is None else f"{x * scale:,.2f}"  # noqa: E731
        ratio = lambda a, b: "-" if a is None or not b else f"{a / b:.2f}x"  # noqa: E731
        ok = "" if check is None else ("yes" if check(d, h, o) else "NO")
        rows.append((label, unit, fmt(d), fmt(h), fmt(o), ratio(o, d), ratio(o, h), target or "",
                     ok))

    row("bulk client->server", "bulk_up", "GB/s", 1e-9, ">= 1.0x haproxy",
        lambda d, h, o: o >= h)
    row("bulk server->client", "bulk_down", "GB/s", 1e-9, ">= 1.0x haproxy",
        lambda d, h, o: o >= h)
    # Added latency is what a proxy adds to the direct round trip.
    for q, target, factor in (("p50", "added <= haproxy", 1.0), ("p99", "added <= 1.5x haproxy",
                                                                  1.5)):
        key = f"pingpong_{q}"
        d, h, o = (med.get(f"{key}/{v}") for v in VARIANTS)
        if None not in (d, h, o):
            med[f"ping_added_{q}/haproxy"] = h - d
            med[f"ping_added_{q}/ostrel"] = o - d
        row(f"64 B ping-pong {q}", key, "us", 1.0, target,
            lambda d, h, o, f=factor: (o - d) <= f * (h - d))
    row("connections/s", "connrate", "1/s", 1.0, ">= 0.9x haproxy", lambda d, h, o: o >= 0.9 * h)
    row("UDP echo exchanges/s", "udp", "1/s", 1.0, ">= 20,000", lambda d, h, o: o >= 20000)
    row("DNS refused answers/s", "dns", "1/s", 1.0, ">= 50,000", lambda d, h, o: o >= 50000)
    row("50 ms latency error p50", "latency_err_p50", "ms", 1.0, "", None)
    row("50 ms latency error p99", "latency_err_p99", "ms", 1.0, "<= 2 ms",
        lambda d, h, o: abs(o) <= 2.0)
    for cap in CAPS:
        row(f"bandwidth {cap:,} B/s, measured/cap", f"bandwidth_{cap}", "ratio", 1.0,
            "within 3 %", lambda d, h, o: abs(o - 1) <= 0.03)

    print()
    print(f"rounds: {results['rounds']} (medians); load average before "
          f"{results['load_before']}, after {results['load_after']}")
    head = ("test", "unit", "direct", "haproxy", "ostrel", "/direct", "/haproxy", "target", "met")
    widths = [max(len(str(x[i])) for x in rows + [head]) for i in range(len(head))]
    line = lambda r: "  ".join(str(c).ljust(w) for c, w in zip(r, widths))  # noqa: E731
    print(line(head))
    for r in rows:
        print(line(r))
    for key in ("ping_added_p50", "ping_added_p99"):
        h, o = med.get(f"{key}/haproxy"), med.get(f"{key}/ostrel")
        if h is not None and o is not None:
            print(f"ping-pong added {key[-3:]}: haproxy +{h:.1f} us, ostrel +{o:.1f} us")
    if s.get("fault_change/ostrel"):
        runs = s["fault_change/ostrel"]
        last = median([x["last_ms"] for x in runs])
        print(f"live fault change -> every one of {runs[0]['connections']} idle connections "
              f"reset: median {last:.1f} ms (target <= 100 ms: {'yes' if last <= 100 else 'NO'}); "
              f"measured from the set_faults call until the last client read its reset; "
              f"resets seen {[x['resets'] for x in runs]}")
    if s.get("idle_rss/ostrel"):
        runs = s["idle_rss/ostrel"]
        # The first measurement runs in a fresh engine process; later ones reuse heap that
        # earlier tests freed, and so read lower.
        per = runs[0]["kib_per_connection"]
        later = ", ".join(f"{x['kib_per_connection']:.1f}" for x in runs[1:])
        print(f"RSS per idle proxied connection: {per:.1f} KiB with {runs[0]['connections']} "
              f"open in a fresh engine (VmRSS before/after opening them"
              f"{'; later in the run: ' + later + ' KiB' if later else ''}); "
              f"target <= 40 KiB: {'yes' if per <= 40 else 'NO'}")
    results["medians"] = med


if __name__ == "__main__":
    main()
