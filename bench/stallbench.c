/* How long single datagrams hold the server's one thread, and what that does to other clients.
 * Plain RFC 1350 reads in lock step, 512-byte blocks, octet mode.
 *
 *   stallbench cost HOST PORT PID KIND LENGTH COUNT
 *       COUNT read requests, one at a time, for a name of LENGTH bytes: KIND "long" is a missing
 *       file ("a" repeated), "stars" is "*" repeated. After each, once its ERROR has come and
 *       the server has gone quiet, the CPU time that process PID's main thread spent since the
 *       request is read from its schedstat; the thread's idle use over as long is taken off.
 *       Prints "ms=M" (the median per request).
 *   stallbench flood HOST PORT KIND LENGTH RATE NAME EXPECTED CAP
 *       One read of NAME, compared byte for byte with the file EXPECTED, while another socket
 *       sends RATE requests a second of the KIND and LENGTH above (RATE 0: none). Prints
 *       "seconds=S", or "seconds=CAP+" when the read had not ended after CAP seconds.
 *   stallbench sequential HOST PORT NAME EXPECTED COUNT WINDOW PID
 *       COUNT reads of NAME one after the other, each from a socket of its own. Prints
 *       "first_ms=A last_ms=B" (the mean time per read over the first and over the last WINDOW
 *       reads), "first_cpu_ms=C last_cpu_ms=D" (the CPU time of PID's main thread per read over
 *       the same reads) and "rss_kib=R0,R1" (process PID's VmRSS before and after).
 *
 * Exits non-zero when a read fails.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

enum { OP_RRQ = 1, OP_DATA = 3, OP_ACK = 4, OP_ERROR = 5 };
enum { BLOCK = 512, PACKET = 516, MAX_DATAGRAM = 65536 };
/* A silent server gets the last packet again after this; a stalled one is waited for. */
enum { RETRY_MS = 1000 };
/* After its ERROR, a refused request's list line is shown within this; then the thread is idle. */
enum { SETTLE_MS = 400 };

static struct sockaddr_in server;

static double now_seconds(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void sleep_ms(int ms) {
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

static void die(const char* what) {
    fprintf(stderr, "stallbench: %s: %s\n", what, strerror(errno));
    exit(1);
}

static int udp_socket(void) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        die("socket");
    }
    return fd;
}

/* A read request for `name` (`len` bytes) into `out`; returns its length. */
static size_t build_request(unsigned char* out, const char* name, size_t len) {
    out[0] = 0;
    out[1] = OP_RRQ;
    memcpy(out + 2, name, len);
    out[2 + len] = 0;
    memcpy(out + 3 + len, "octet", 6);
    return 9 + len;
}

static char* make_name(const char* kind, size_t length) {
    char* name = malloc(length + 1);
    if (!name) {
        die("malloc");
    }
    memset(name, strcmp(kind, "stars") == 0 ? '*' : 'a', length);
    name[length] = 0;
    return name;
}

/* Nanoseconds the main thread of `pid` has run, from /proc (field 1 of schedstat). */
static unsigned long long thread_ns(int pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/task/%d/schedstat", pid, pid);
    FILE* f = fopen(path, "r");
    unsigned long long ns = 0;
    if (!f || fscanf(f, "%llu", &ns) != 1) {
        die(path);
    }
    fclose(f);
    return ns;
}

static long rss_kib(int pid) {
    char path[64], line[256];
    snprintf(path, sizeof path, "/proc/%d/status", pid);
    FILE* f = fopen(path, "r");
    long kib = -1;
    if (!f) {
        die(path);
    }
    while (fgets(line, sizeof line, f)) {
        if (sscanf(line, "VmRSS: %ld", &kib) == 1) {
            break;
        }
    }
    fclose(f);
    return kib;
}

static int cmp_double(const void* a, const void* b) {
    const double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

/* Waits up to `ms` for a datagram on `fd`; its length, or -1 on silence. */
static ssize_t receive(int fd, unsigned char* in, size_t size, int ms, struct sockaddr_in* from) {
    struct pollfd p = {.fd = fd, .events = POLLIN};
    if (poll(&p, 1, ms) <= 0) {
        return -1;
    }
    socklen_t len = sizeof *from;
    return recvfrom(fd, in, size, 0, (struct sockaddr*)from, &len);
}

static int cost(int pid, const char* kind, size_t length, int count) {
    char* name = make_name(kind, length);
    unsigned char* out = malloc(length + 16);
    unsigned char* in = malloc(MAX_DATAGRAM);
    double* ms = calloc((size_t)count, sizeof *ms);
    if (!out || !in || !ms) {
        die("malloc");
    }
    const size_t n = build_request(out, name, length);
    unsigned long long before = thread_ns(pid);
    sleep_ms(SETTLE_MS);
    const double idle_ns = (double)(thread_ns(pid) - before);
    for (int i = 0; i < count; ++i) {
        const int fd = udp_socket();
        before = thread_ns(pid);
        const double started = now_seconds();
        if (sendto(fd, out, n, 0, (const struct sockaddr*)&server, sizeof server) < 0) {
            die("sendto");
        }
        struct sockaddr_in from;
        const ssize_t got = receive(fd, in, MAX_DATAGRAM, 60000, &from);
        if (got < 4 || in[1] != OP_ERROR) {
            fprintf(stderr, "stallbench: no ERROR for the %s name\n", kind);
            return 1;
        }
        /* Idle is counted over the same span as the request was measured. */
        const double waited = now_seconds() - started;
        sleep_ms(SETTLE_MS);
        const double span = waited * 1000 + SETTLE_MS;
        ms[i] = ((double)(thread_ns(pid) - before) - idle_ns * span / SETTLE_MS) / 1e6;
        if (ms[i] < 0) {
            ms[i] = 0;
        }
        close(fd);
    }
    qsort(ms, (size_t)count, sizeof *ms, cmp_double);
    printf("ms=%.3f\n", count % 2 ? ms[count / 2] : (ms[count / 2 - 1] + ms[count / 2]) / 2);
    return 0;
}

static const unsigned char* map_file(const char* path, size_t* size) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        die(path);
    }
    *size = (size_t)st.st_size;
    const unsigned char* bytes = (const unsigned char*)"";
    if (*size > 0) {
        bytes = mmap(NULL, *size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (bytes == MAP_FAILED) {
            die(path);
        }
    }
    close(fd);
    return bytes;
}

/* One lock-step read of `name` (must yield `size` bytes of `expected`); 1 when it did within
 * `deadline` (an absolute time), 0 when the deadline passed, -1 when it failed. */
static int read_file(const char* name, const unsigned char* expected, size_t size,
                     double deadline) {
    const int fd = udp_socket();
    unsigned char out[PACKET + 256], in[PACKET + 64];
    size_t outLen = build_request(out, name, strlen(name));
    struct sockaddr_in peer = server;
    unsigned expect = 1;
    size_t offset = 0;
    int result = 0;
    if (sendto(fd, out, outLen, 0, (const struct sockaddr*)&peer, sizeof peer) < 0) {
        die("sendto");
    }
    while (now_seconds() < deadline) {
        struct sockaddr_in from;
        const ssize_t n = receive(fd, in, sizeof in, RETRY_MS, &from);
        if (n < 0) {
            sendto(fd, out, outLen, 0, (const struct sockaddr*)&peer, sizeof peer);
            continue;
        }
        /* Once the transfer has answered, only its port counts: a request sent again while the
         * server was busy may have started a second transfer, which times out on its own. */
        const int fromPeer =
            from.sin_port == peer.sin_port && from.sin_addr.s_addr == peer.sin_addr.s_addr;
        if (expect > 1 && !fromPeer) {
            continue;
        }
        if (n < 4 || in[1] == OP_ERROR) {
            result = -1;
            break;
        }
        if (in[1] != OP_DATA || (unsigned)(in[2] * 256 + in[3]) != (expect & 0xffff)) {
            continue;
        }
        const size_t len = (size_t)n - 4;
        if (offset + len > size || memcmp(in + 4, expected + offset, len) != 0) {
            result = -1;
            break;
        }
        /* From the first DATA on, the transfer's own port is the peer. */
        peer = from;
        offset += len;
        out[0] = 0;
        out[1] = OP_ACK;
        out[2] = in[2];
        out[3] = in[3];
        outLen = 4;
        sendto(fd, out, outLen, 0, (const struct sockaddr*)&peer, sizeof peer);
        ++expect;
        if (len < BLOCK) {
            result = offset == size ? 1 : -1;
            break;
        }
    }
    close(fd);
    return result;
}

struct flooder {
    const unsigned char* request;
    size_t length;
    double rate;
    volatile int stop;
};

static void* flood_loop(void* arg) {
    struct flooder* f = arg;
    const int fd = udp_socket();
    /* The ERRORs that come back are never read: a small buffer drops them. */
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const double gap = 1.0 / f->rate;
    double next = now_seconds();
    while (!f->stop) {
        sendto(fd, f->request, f->length, 0, (const struct sockaddr*)&server, sizeof server);
        next += gap;
        const double wait = next - now_seconds();
        if (wait > 0) {
            sleep_ms((int)(wait * 1000));
        }
    }
    close(fd);
    return NULL;
}

static int flood(const char* kind, size_t length, double rate, const char* name, const char* path,
                 double cap) {
    size_t size;
    const unsigned char* expected = map_file(path, &size);
    struct flooder f = {0};
    pthread_t thread;
    char* flood_name = make_name(kind, length);
    unsigned char* request = malloc(length + 16);
    if (!request) {
        die("malloc");
    }
    f.request = request;
    f.length = build_request(request, flood_name, length);
    f.rate = rate;
    if (rate > 0) {
        pthread_create(&thread, NULL, flood_loop, &f);
        /* The read starts with the flood under way. */
        sleep_ms(1000);
    }
    const double started = now_seconds();
    const int result = read_file(name, expected, size, started + cap);
    const double seconds = now_seconds() - started;
    if (rate > 0) {
        f.stop = 1;
        pthread_join(thread, NULL);
    }
    if (result < 0) {
        fprintf(stderr, "stallbench: the read of %s failed\n", name);
        return 1;
    }
    if (result == 0) {
        printf("seconds=%.0f+\n", cap);
    } else {
        printf("seconds=%.3f\n", seconds);
    }
    return 0;
}

static int sequential(const char* name, const char* path, int count, int window, int pid) {
    size_t size;
    const unsigned char* expected = map_file(path, &size);
    const long rss_before = rss_kib(pid);
    double first = 0, started = now_seconds();
    unsigned long long first_cpu = 0, cpu = thread_ns(pid);
    for (int i = 0; i < count; ++i) {
        if (read_file(name, expected, size, now_seconds() + 60) != 1) {
            fprintf(stderr, "stallbench: read %d of %s failed\n", i + 1, name);
            return 1;
        }
        if (i + 1 == window) {
            first = now_seconds() - started;
            first_cpu = thread_ns(pid) - cpu;
        }
        if (i + 1 == count - window) {
            started = now_seconds();
            cpu = thread_ns(pid);
        }
    }
    const double last = now_seconds() - started;
    const unsigned long long last_cpu = thread_ns(pid) - cpu;
    printf("first_ms=%.3f last_ms=%.3f first_cpu_ms=%.3f last_cpu_ms=%.3f rss_kib=%ld,%ld\n",
           first * 1000 / window, last * 1000 / window, (double)first_cpu / 1e6 / window,
           (double)last_cpu / 1e6 / window, rss_before, rss_kib(pid));
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: see the head of stallbench.c\n");
        return 2;
    }
    server.sin_family = AF_INET;
    server.sin_port = htons((unsigned short)atoi(argv[3]));
    if (inet_pton(AF_INET, argv[2], &server.sin_addr) != 1) {
        fprintf(stderr, "stallbench: bad address %s\n", argv[2]);
        return 2;
    }
    if (strcmp(argv[1], "cost") == 0 && argc == 8) {
        return cost(atoi(argv[4]), argv[5], (size_t)atol(argv[6]), atoi(argv[7]));
    }
    if (strcmp(argv[1], "flood") == 0 && argc == 10) {
        return flood(argv[4], (size_t)atol(argv[5]), atof(argv[6]), argv[7], argv[8],
                     atof(argv[9]));
    }
    if (strcmp(argv[1], "sequential") == 0 && argc == 9) {
        return sequential(argv[4], argv[5], atoi(argv[6]), atoi(argv[7]), atoi(argv[8]));
    }
    fprintf(stderr, "usage: see the head of stallbench.c\n");
    return 2;
}
