// Load client and upstreams of the benchmark. One binary, one job per subcommand; every client
// subcommand prints one JSON line with its measurement. Loopback only: every address it talks
// to comes from the driver, which only ever passes 127.0.0.1.
//
//   upstream                          TCP echo, sink and source, UDP echo; prints their ports
//   bulk-up HOST PORT BYTES           client -> sink, until the sink's end of stream comes back
//   bulk-down HOST PORT BYTES         source -> client (the count goes first, 8 bytes)
//   pingpong HOST PORT COUNT SIZE     round trips of SIZE bytes on one connection
//   connrate HOST PORT SECONDS THREADS   connect, 1-byte echo, close, in a loop per thread
//   hold HOST PORT COUNT              opens COUNT idle connections, then obeys stdin commands
//   udp HOST PORT SECONDS SOCKETS [dns]  request/response exchanges, one in flight per socket
//   latency HOST PORT SAMPLES THREADS EXPECT_MS   new connection per sample, echo timing
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "ostrel_bench: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

sockaddr_in address(const char* host, int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    if (inet_pton(AF_INET, host, &sa.sin_addr) != 1) {
        std::fprintf(stderr, "ostrel_bench: not an IPv4 address: %s\n", host);
        std::exit(2);
    }
    return sa;
}

void set_nonblocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void set_nodelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int tcp_connect(const sockaddr_in& sa) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    set_nodelay(fd);
    return fd;
}

bool write_all(int fd, const void* data, size_t len) {
    auto p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= size_t(n);
    }
    return true;
}

bool read_exact(int fd, void* data, size_t len) {
    auto p = static_cast<char*>(data);
    while (len > 0) {
        ssize_t n = read(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= size_t(n);
    }
    return true;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = size_t(p * double(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// ---------------------------------------------------------------- upstream

enum class Kind { EchoListen, SinkListen, SourceListen, Echo, Sink, Source };

struct Conn {
    Conn(int f, Kind k) : fd(f), kind(k) {}
    int fd;
    Kind kind;
    std::vector<char> pending;  // echo bytes not yet written back
    size_t pending_off = 0;
    uint64_t to_send = 0;  // source: bytes left
    unsigned header = 0;   // source: bytes of the count read so far
    char count[8] = {};
};

int listen_on(int type) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = address("127.0.0.1", 0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) die("bind");
    if (type == SOCK_STREAM && listen(fd, 4096) != 0) die("listen");
    return fd;
}

int port_of(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

void udp_echo(int fd) {
    char buf[65536];
    for (;;) {
        sockaddr_storage from;
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        sendto(fd, buf, size_t(n), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
}

int upstream_main() {
    int echo = listen_on(SOCK_STREAM), sink = listen_on(SOCK_STREAM),
        source = listen_on(SOCK_STREAM), udp = listen_on(SOCK_DGRAM);
    std::printf("{\"echo\":%d,\"sink\":%d,\"source\":%d,\"udp_echo\":%d}\n", port_of(echo),
                port_of(sink), port_of(source), port_of(udp));
    std::fflush(stdout);
    std::thread(udp_echo, udp).detach();
    // The driver ends the upstream by closing its stdin.
    std::thread([] {
        char c;
        while (read(0, &c, 1) > 0) {
        }
        std::_Exit(0);
    }).detach();

    int ep = epoll_create1(EPOLL_CLOEXEC);
    auto add = [&](Conn* c, uint32_t events) {
        epoll_event ev{};
        ev.events = events;
        ev.data.ptr = c;
        epoll_ctl(ep, EPOLL_CTL_ADD, c->fd, &ev);
    };
    auto modify = [&](Conn* c, uint32_t events) {
        epoll_event ev{};
        ev.events = events;
        ev.data.ptr = c;
        epoll_ctl(ep, EPOLL_CTL_MOD, c->fd, &ev);
    };
    for (auto [fd, kind] : {std::pair{echo, Kind::EchoListen}, std::pair{sink, Kind::SinkListen},
                            std::pair{source, Kind::SourceListen}}) {
        set_nonblocking(fd);
        add(new Conn(fd, kind), EPOLLIN);
    }
    static char buf[1 << 20];
    static char out[1 << 20];
    std::memset(out, 'x', sizeof out);
    auto finish = [&](Conn* c) {
        close(c->fd);  // also removes it from the epoll set
        delete c;
    };
    // Source: writes until the count is sent or the socket is full. True when done or failed.
    auto pump = [&](Conn* c) {
        while (c->to_send > 0) {
            ssize_t n = write(c->fd, out, size_t(std::min<uint64_t>(c->to_send, sizeof out)));
            if (n < 0 && errno == EAGAIN) return false;
            if (n <= 0) return true;
            c->to_send -= uint64_t(n);
        }
        return true;
    };
    std::vector<epoll_event> events(1024);
    for (;;) {
        int ready = epoll_wait(ep, events.data(), int(events.size()), -1);
        for (int i = 0; i < ready; ++i) {
            auto* c = static_cast<Conn*>(events[i].data.ptr);
            switch (c->kind) {
                case Kind::EchoListen:
                case Kind::SinkListen:
                case Kind::SourceListen: {
                    for (;;) {
                        int fd = accept4(c->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                        if (fd < 0) break;
                        set_nodelay(fd);
                        Kind k = c->kind == Kind::EchoListen   ? Kind::Echo
                                 : c->kind == Kind::SinkListen ? Kind::Sink
                                                               : Kind::Source;
                        add(new Conn(fd, k), EPOLLIN);
                    }
                    break;
                }
                case Kind::Sink: {
                    ssize_t n;
                    while ((n = read(c->fd, buf, sizeof buf)) > 0) {
                    }
                    if (n == 0 || errno != EAGAIN) finish(c);
                    break;
                }
                case Kind::Echo: {
                    if (!c->pending.empty()) {
                        ssize_t n = write(c->fd, c->pending.data() + c->pending_off,
                                          c->pending.size() - c->pending_off);
                        if (n < 0 && errno == EAGAIN) break;
                        if (n <= 0) {
                            finish(c);
                            break;
                        }
                        c->pending_off += size_t(n);
                        if (c->pending_off < c->pending.size()) break;
                        c->pending.clear();
                        c->pending_off = 0;
                        modify(c, EPOLLIN);
                        break;
                    }
                    ssize_t n = read(c->fd, buf, sizeof buf);
                    if (n < 0 && errno == EAGAIN) break;
                    if (n <= 0) {
                        finish(c);
                        break;
                    }
                    ssize_t w = write(c->fd, buf, size_t(n));
                    if (w < 0 && errno == EAGAIN) w = 0;
                    if (w < 0) {
                        finish(c);
                        break;
                    }
                    if (w < n) {
                        c->pending.assign(buf + w, buf + n);
                        modify(c, EPOLLOUT);
                    }
                    break;
                }
                case Kind::Source: {
                    if (c->header < 8) {
                        ssize_t n = read(c->fd, c->count + c->header, 8 - c->header);
                        if (n < 0 && errno == EAGAIN) break;
                        if (n <= 0) {
                            finish(c);
                            break;
                        }
                        c->header += unsigned(n);
                        if (c->header < 8) break;
                        std::memcpy(&c->to_send, c->count, 8);
                        modify(c, EPOLLOUT);
                    }
                    if (pump(c)) finish(c);
                    break;
                }
            }
        }
    }
}

// ---------------------------------------------------------------- clients

int bulk_up(const sockaddr_in& sa, uint64_t bytes) {
    static char buf[1 << 20];
    std::memset(buf, 'u', sizeof buf);
    auto start = Clock::now();
    int fd = tcp_connect(sa);
    if (fd < 0) die("connect");
    uint64_t left = bytes;
    while (left > 0) {
        size_t chunk = size_t(std::min<uint64_t>(left, sizeof buf));
        if (!write_all(fd, buf, chunk)) die("write");
        left -= chunk;
    }
    shutdown(fd, SHUT_WR);
    // The sink closes when it has read everything; its end of stream comes back through the
    // proxy, so the time covers delivery, not just the local send buffer.
    while (read(fd, buf, sizeof buf) > 0) {
    }
    double s = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);
    std::printf("{\"bytes\":%llu,\"seconds\":%.6f,\"bytes_per_second\":%.1f}\n",
                (unsigned long long)bytes, s, double(bytes) / s);
    return 0;
}

int bulk_down(const sockaddr_in& sa, uint64_t bytes) {
    static char buf[1 << 20];
    auto start = Clock::now();
    int fd = tcp_connect(sa);
    if (fd < 0) die("connect");
    if (!write_all(fd, &bytes, 8)) die("write");
    uint64_t got = 0, last_read = 0;
    int64_t t_first = 0, t_last = 0;
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        int64_t t = now_ns();
        if (got == 0) t_first = t;
        t_last = t;
        last_read = uint64_t(n);
        got += uint64_t(n);
    }
    double s = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);
    if (got != bytes) {
        std::fprintf(stderr, "ostrel_bench: received %llu of %llu bytes\n",
                     (unsigned long long)got, (unsigned long long)bytes);
        return 1;
    }
    // The steady rate runs from the first read to the last one: under a cap the first chunk
    // comes at once and each later one after the pause of the chunk before it, so the bytes
    // of every read but the last were paid for in between.
    double steady =
        t_last > t_first ? double(got - last_read) / (double(t_last - t_first) / 1e9) : 0.0;
    std::printf(
        "{\"bytes\":%llu,\"seconds\":%.6f,\"bytes_per_second\":%.1f,"
        "\"steady_bytes_per_second\":%.3f}\n",
        (unsigned long long)bytes, s, double(bytes) / s, steady);
    return 0;
}

int pingpong(const sockaddr_in& sa, int count, int size) {
    int fd = tcp_connect(sa);
    if (fd < 0) die("connect");
    std::vector<char> msg(size_t(size), 'p'), back(static_cast<size_t>(size));
    std::vector<double> rtt;
    rtt.reserve(size_t(count));
    const int warmup = std::min(200, count / 10 + 1);
    for (int i = 0; i < count + warmup; ++i) {
        int64_t t0 = now_ns();
        if (!write_all(fd, msg.data(), msg.size()) || !read_exact(fd, back.data(), back.size())) {
            die("pingpong");
        }
        if (i >= warmup) rtt.push_back(double(now_ns() - t0) / 1000.0);
    }
    close(fd);
    double sum = 0;
    for (double r : rtt) sum += r;
    std::printf("{\"count\":%d,\"p50_us\":%.2f,\"p99_us\":%.2f,\"mean_us\":%.2f}\n", count,
                percentile(rtt, 0.5), percentile(rtt, 0.99), sum / double(rtt.size()));
    return 0;
}

int connrate(const sockaddr_in& sa, double seconds, int threads) {
    std::atomic<uint64_t> done{0}, failed{0};
    auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    std::vector<std::thread> pool;
    auto start = Clock::now();
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            uint64_t ok = 0, bad = 0;
            while (Clock::now() < deadline) {
                int fd = tcp_connect(sa);
                if (fd < 0) {
                    ++bad;
                    continue;
                }
                char c = 'c';
                if (write_all(fd, &c, 1) && read_exact(fd, &c, 1)) {
                    ++ok;
                } else {
                    ++bad;
                }
                close(fd);
            }
            done += ok;
            failed += bad;
        });
    }
    for (auto& t : pool) t.join();
    double s = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("{\"connections\":%llu,\"failed\":%llu,\"seconds\":%.3f,\"per_second\":%.1f}\n",
                (unsigned long long)done.load(), (unsigned long long)failed.load(), s,
                double(done.load()) / s);
    return 0;
}

// Opens COUNT connections, each proven end to end by a 1-byte echo, and keeps them idle.
// Then reads commands from stdin:
//   watch SECONDS   wait until every connection is ended by the peer (reset or end of stream);
//                   prints when the first and the last one saw it (CLOCK_MONOTONIC ns)
//   close           closes them all and exits
int hold(const sockaddr_in& sa, int count) {
    std::vector<int> fds;
    fds.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
        int fd = tcp_connect(sa);
        char c = 'h';
        if (fd < 0 || !write_all(fd, &c, 1) || !read_exact(fd, &c, 1)) {
            std::printf("{\"error\":\"connection %d: %s\"}\n", i, std::strerror(errno));
            std::fflush(stdout);
            return 1;
        }
        fds.push_back(fd);
    }
    std::printf("{\"ready\":%d}\n", count);
    std::fflush(stdout);
    char line[256];
    while (std::fgets(line, sizeof line, stdin)) {
        if (std::strncmp(line, "watch", 5) == 0) {
            double limit = std::atof(line + 5);
            int ep = epoll_create1(EPOLL_CLOEXEC);
            for (size_t i = 0; i < fds.size(); ++i) {
                epoll_event ev{};
                ev.events = EPOLLIN | EPOLLRDHUP;
                ev.data.u64 = i;
                epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &ev);
            }
            std::vector<int64_t> seen(fds.size(), 0);
            size_t ended = 0, resets = 0;
            int64_t first = 0, last = 0;
            int64_t stop = now_ns() + int64_t(limit * 1e9);
            std::vector<epoll_event> events(1024);
            while (ended < fds.size() && now_ns() < stop) {
                int n = epoll_wait(ep, events.data(), int(events.size()), 10);
                int64_t t = now_ns();
                for (int i = 0; i < n; ++i) {
                    size_t k = events[i].data.u64;
                    if (seen[k]) continue;
                    char c;
                    ssize_t r = read(fds[k], &c, 1);
                    if (r < 0 && errno == ECONNRESET) ++resets;
                    seen[k] = t;
                    epoll_ctl(ep, EPOLL_CTL_DEL, fds[k], nullptr);
                    if (ended == 0) first = t;
                    last = t;
                    ++ended;
                }
            }
            close(ep);
            std::printf("{\"ended\":%zu,\"resets\":%zu,\"first_ns\":%lld,\"last_ns\":%lld}\n",
                        ended, resets, (long long)first, (long long)last);
            std::fflush(stdout);
        } else if (std::strncmp(line, "close", 5) == 0) {
            break;
        }
    }
    for (int fd : fds) close(fd);
    return 0;
}

// A DNS query for bench.example. A, with the given id.
size_t dns_query(char* out, uint16_t id) {
    const unsigned char q[] = {0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0,
                               5, 'b', 'e', 'n', 'c', 'h', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e',
                               0, 0, 1, 0, 1};
    std::memcpy(out, q, sizeof q);
    out[0] = char(id >> 8);
    out[1] = char(id & 0xff);
    return sizeof q;
}

// One exchange in flight per socket; a lost exchange is sent again after 200 ms.
int udp_load(const sockaddr_in& sa, double seconds, int sockets, bool dns) {
    std::vector<int> fds;
    std::vector<int64_t> sent_at(static_cast<size_t>(sockets));
    int ep = epoll_create1(EPOLL_CLOEXEC);
    char msg[512], back[2048];
    size_t len = dns ? dns_query(msg, 1) : 64;
    if (!dns) std::memset(msg, 'd', len);
    for (int i = 0; i < sockets; ++i) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) die("connect");
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = uint64_t(i);
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
        fds.push_back(fd);
    }
    uint64_t answered = 0, lost = 0;
    int64_t start = now_ns(), stop = start + int64_t(seconds * 1e9);
    for (int i = 0; i < sockets; ++i) {
        send(fds[size_t(i)], msg, len, 0);
        sent_at[size_t(i)] = now_ns();
    }
    std::vector<epoll_event> events(256);
    int64_t t = start;
    while (t < stop) {
        int n = epoll_wait(ep, events.data(), int(events.size()), 20);
        t = now_ns();
        for (int i = 0; i < n; ++i) {
            size_t k = events[i].data.u64;
            while (recv(fds[k], back, sizeof back, 0) > 0) ++answered;
            send(fds[k], msg, len, 0);
            sent_at[k] = t;
        }
        for (size_t k = 0; k < fds.size(); ++k) {
            if (t - sent_at[k] > 200000000) {
                ++lost;
                send(fds[k], msg, len, 0);
                sent_at[k] = t;
            }
        }
    }
    double s = double(now_ns() - start) / 1e9;
    std::printf("{\"answered\":%llu,\"lost\":%llu,\"seconds\":%.3f,\"per_second\":%.1f}\n",
                (unsigned long long)answered, (unsigned long long)lost, s, double(answered) / s);
    return 0;
}

// Each sample is a new connection: a latency fault delays the first read of a connection.
int latency(const sockaddr_in& sa, int samples, int threads, double expect_ms) {
    std::vector<std::vector<double>> per(static_cast<size_t>(threads));
    std::atomic<int> next{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            char msg[64], back[64];
            std::memset(msg, 'l', sizeof msg);
            while (next.fetch_add(1) < samples) {
                int fd = tcp_connect(sa);
                if (fd < 0) continue;
                int64_t t0 = now_ns();
                if (write_all(fd, msg, sizeof msg) && read_exact(fd, back, sizeof back)) {
                    per[size_t(t)].push_back(double(now_ns() - t0) / 1e6 - expect_ms);
                }
                close(fd);
            }
        });
    }
    for (auto& t : pool) t.join();
    std::vector<double> all;
    for (auto& v : per) all.insert(all.end(), v.begin(), v.end());
    std::vector<double> abs_err;
    for (double e : all) abs_err.push_back(std::abs(e));
    std::printf(
        "{\"samples\":%zu,\"error_p50_ms\":%.4f,\"error_p99_ms\":%.4f,\"abs_error_p99_ms\":%.4f,"
        "\"error_min_ms\":%.4f}\n",
        all.size(), percentile(all, 0.5), percentile(all, 0.99), percentile(abs_err, 0.99),
        all.empty() ? 0.0 : *std::min_element(all.begin(), all.end()));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    std::string cmd = argc > 1 ? argv[1] : "";
    auto arg = [&](int i) -> const char* {
        if (i >= argc) {
            std::fprintf(stderr, "ostrel_bench: missing argument %d for %s\n", i, cmd.c_str());
            std::exit(2);
        }
        return argv[i];
    };
    if (cmd == "upstream") return upstream_main();
    if (cmd.empty()) {
        std::fprintf(stderr, "usage: ostrel_bench upstream | bulk-up | bulk-down | pingpong | "
                             "connrate | hold | udp | latency ...\n");
        return 2;
    }
    sockaddr_in sa = address(arg(2), std::atoi(arg(3)));
    if (cmd == "bulk-up") return bulk_up(sa, std::strtoull(arg(4), nullptr, 10));
    if (cmd == "bulk-down") return bulk_down(sa, std::strtoull(arg(4), nullptr, 10));
    if (cmd == "pingpong") return pingpong(sa, std::atoi(arg(4)), std::atoi(arg(5)));
    if (cmd == "connrate") return connrate(sa, std::atof(arg(4)), std::atoi(arg(5)));
    if (cmd == "hold") return hold(sa, std::atoi(arg(4)));
    if (cmd == "udp") {
        return udp_load(sa, std::atof(arg(4)), std::atoi(arg(5)),
                        argc > 6 && std::string(argv[6]) == "dns");
    }
    if (cmd == "latency") {
        return latency(sa, std::atoi(arg(4)), std::atoi(arg(5)), std::atof(arg(6)));
    }
    std::fprintf(stderr, "ostrel_bench: unknown command %s\n", cmd.c_str());
    return 2;
}
