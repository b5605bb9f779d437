"""Upstream services for the reliability tests, run as a separate process so that they neither
share the test's event loop nor count against its descriptors.

    python upstream_server.py tcp-echo [nofile]
        echoes every byte and half-closes once the client has; stops reading while the client
        is slow to take the echo.
    python upstream_server.py udp-slow DELAY_MS
        answers every datagram with its own bytes, DELAY_MS later, from one thread; datagrams
        it cannot keep up with wait in the kernel or are dropped there.

Both bind 127.0.0.1 on an ephemeral port and print "port N" on the first line of stdout. They
run until stdin closes, then print one line of counts ("counts a b") and exit.
"""

import asyncio
import collections
import resource
import socket
import sys
import threading
import time


def _raise_nofile(wanted):
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    hard = max(hard, wanted)
    resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))


class _Echo(asyncio.Protocol):
    served = 0
    echoed = 0

    def connection_made(self, transport):
        _Echo.served += 1
        self.transport = transport

    def data_received(self, data):
        _Echo.echoed += len(data)
        self.transport.write(data)

    def eof_received(self):
        # The echo of everything read so far is queued; the half-close follows it.
        self.transport.write_eof()
        return True

    def pause_writing(self):
        self.transport.pause_reading()

    def resume_writing(self):
        self.transport.resume_reading()


async def _tcp_echo():
    loop = asyncio.get_running_loop()
    server = await loop.create_server(_Echo, "127.0.0.1", 0, backlog=4096)
    print("port", server.sockets[0].getsockname()[1], flush=True)
    await loop.run_in_executor(None, sys.stdin.read)
    server.close()
    print("counts", _Echo.served, _Echo.echoed, flush=True)


def _udp_slow(delay):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
    sock.bind(("127.0.0.1", 0))
    sock.settimeout(0.1)
    print("port", sock.getsockname()[1], flush=True)
    due = collections.deque()
    wake = threading.Condition()
    stop = threading.Event()
    counts = [0, 0]

    def answer():
        while not stop.is_set():
            with wake:
                while not due and not stop.is_set():
                    wake.wait(0.1)
                if stop.is_set():
                    return
                when, data, addr = due.popleft()
            pause = when - time.monotonic()
            if pause > 0:
                time.sleep(pause)
            try:
                sock.sendto(data, addr)
                counts[1] += 1
            except OSError:
                pass

    def receive():
        while not stop.is_set():
            try:
                data, addr = sock.recvfrom(65535)
            except (TimeoutError, socket.timeout):
                continue
            except OSError:
                return
            counts[0] += 1
            with wake:
                due.append((time.monotonic() + delay, data, addr))
                wake.notify()

    threads = [
        threading.Thread(target=answer, daemon=True),
        threading.Thread(target=receive, daemon=True),
    ]
    for thread in threads:
        thread.start()
    sys.stdin.read()
    stop.set()
    for thread in threads:
        thread.join(5)
    print("counts", counts[0], counts[1], flush=True)


def main():
    mode = sys.argv[1]
    if mode == "tcp-echo":
        if len(sys.argv) > 2:
            _raise_nofile(int(sys.argv[2]))
        asyncio.run(_tcp_echo())
    elif mode == "udp-slow":
        _udp_slow(float(sys.argv[2]) / 1000)
    else:
        raise SystemExit(f"unknown mode {mode}")


if __name__ == "__main__":
    main()
