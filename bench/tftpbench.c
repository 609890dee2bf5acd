/* The benchmark's TFTP client: plain RFC 1350 in lock step, 512-byte blocks, octet mode, no
 * options. Every byte read is compared with the file it should match.
 *
 *   tftpbench get  HOST PORT NAME COUNT EXPECTED        COUNT concurrent reads of NAME
 *   tftpbench put  HOST PORT NAME COUNT SOURCE          COUNT concurrent writes (NAME, or
 *                                                       NAME.1 ... NAME.COUNT when COUNT > 1)
 *   tftpbench hold HOST PORT READNAME EXPECTED WRITENAME SOURCE COUNT PID
 *       COUNT transfers at once (half reads of READNAME, half writes of WRITENAME.i); each
 *       stops a few blocks in until all have got there, then the VmRSS and VmHWM of process
 *       PID are read, then every transfer runs to its end.
 *
 * Several transfers at once each come from an address of their own, 127.1.0.1 and on, as from
 * so many clients (HOST must then be a loopback address): a server may take a second request
 * for one file from one address as a repeat of the first.
 *
 * The transfers are shared among as many threads as the machine has cores (or
 * TFTPBENCH_THREADS), each waiting on all of its sockets at once: enough that a server using
 * every core is never held up by the client. A thread per transfer would not do: on loopback
 * the sender of a datagram pays for waking its receiver, so a client that sleeps after every
 * block bills the server for one wake-up per block, more than a server's own work costs on
 * one core. A thread that serves several transfers is mostly awake when the next block comes.
 *
 * Prints "seconds=S" (the wall time from the first request to the last transfer's end) and,
 * for hold, "vmrss_kib=N vmhwm_kib=N"; exits non-zero when any transfer fails.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

enum { OP_RRQ = 1, OP_WRQ = 2, OP_DATA = 3, OP_ACK = 4, OP_ERROR = 5 };
enum { BLOCK = 512, PACKET = 516 };
/* Loopback loses nothing unless a buffer overflows; a lost packet is re-sent after this. */
enum { RETRY_MS = 1000, MAX_RETRIES = 10 };
/* Blocks a held transfer moves before it stops. */
enum { HOLD_AFTER = 4 };
enum { MAX_THREADS = 64 };

struct mapped {
    const unsigned char* bytes;
    size_t size;
};

struct transfer {
    int write;
    char name[256];
    const struct mapped* file; /* what a read must yield, or what a write sends */
    struct in_addr source;     /* 0: any */
    int fd;
    int connected;   /* to the server's port for this transfer, learnt from its first answer */
    unsigned expect; /* read: the block awaited; write: the block whose ACK is awaited */
    size_t offset;   /* bytes taken or sent so far */
    int lastSent;    /* write: the short block went out */
    unsigned char out[PACKET];
    size_t outLen; /* the packet re-sent on silence */
    double sentAt;
    int retries;
    int hold; /* still to stop at the hold point */
    int held; /* stopped there: `out` goes once released */
    int done;
    int ok;
    char error[512];
};

struct worker {
    pthread_t thread;
    struct transfer** transfers;
    int count;
    int wake; /* eventfd: the held transfers are released */
};

static struct sockaddr_in server;

static pthread_mutex_t hold_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t hold_cond = PTHREAD_COND_INITIALIZER;
static int hold_arrived; /* transfers at their hold point, or ended before it */
static int hold_released;

static double now_seconds(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void hold_arrive(struct transfer* t) {
    if (!t->hold) {
        return;
    }
    t->hold = 0;
    pthread_mutex_lock(&hold_lock);
    ++hold_arrived;
    pthread_cond_broadcast(&hold_cond);
    pthread_mutex_unlock(&hold_lock);
}

static void finish(struct transfer* t, int ok, const char* why) {
    if (t->done) {
        return;
    }
    t->done = 1;
    t->ok = ok;
    if (!ok) {
        snprintf(t->error, sizeof t->error, "%s: %s", t->name, why);
    }
    close(t->fd);
    t->fd = -1;
    hold_arrive(t);
}

static void transmit(struct transfer* t) {
    t->sentAt = now_seconds();
    ssize_t n;
    if (t->connected) {
        n = send(t->fd, t->out, t->outLen, 0);
    } else {
        n = sendto(t->fd, t->out, t->outLen, 0, (const struct sockaddr*)&server, sizeof server);
    }
    /* A send refused at once (ECONNREFUSED: the port went away) ends the transfer; a full
     * buffer is like a lost packet and the retry re-sends it. */
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS) {
        finish(t, 0, strerror(errno));
    }
}

/* Sends `out` now, or parks it when the transfer has got to its hold point. */
static void send_or_hold(struct transfer* t, unsigned reached) {
    if (t->hold && reached == HOLD_AFTER) {
        t->held = 1;
        hold_arrive(t);
        return;
    }
    transmit(t);
}

static int start(struct transfer* t) {
    t->fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (t->fd < 0) {
        finish(t, 0, strerror(errno));
        return 0;
    }
    if (t->source.s_addr != 0) {
        struct sockaddr_in local = {.sin_family = AF_INET, .sin_addr = t->source};
        if (bind(t->fd, (const struct sockaddr*)&local, sizeof local) != 0) {
            finish(t, 0, strerror(errno));
            return 0;
        }
    }
    const size_t len = strlen(t->name);
    t->out[0] = 0;
    t->out[1] = t->write ? OP_WRQ : OP_RRQ;
    memcpy(t->out + 2, t->name, len + 1);
    memcpy(t->out + 3 + len, "octet", 6);
    t->outLen = 9 + len;
    t->expect = t->write ? 0 : 1;
    transmit(t);
    return !t->done;
}

static void on_data(struct transfer* t, const unsigned char* in, size_t n) {
    /* A repeated block was acknowledged already: answering it again would double the stream
     * (the sorcerer's apprentice), and silence makes the peer re-send soon enough. */
    if (in[1] != OP_DATA || (unsigned)(in[2] * 256 + in[3]) != (t->expect & 0xffff)) {
        return;
    }
    const size_t len = n - 4;
    if (t->offset + len > t->file->size || memcmp(in + 4, t->file->bytes + t->offset, len) != 0) {
        finish(t, 0, "received bytes differ from the file");
        return;
    }
    t->offset += len;
    t->retries = 0;
    t->out[0] = 0;
    t->out[1] = OP_ACK;
    t->out[2] = in[2];
    t->out[3] = in[3];
    t->outLen = 4;
    if (len < BLOCK) {
        transmit(t);
        if (t->offset != t->file->size) {
            finish(t, 0, "file ended early");
        } else {
            finish(t, 1, NULL);
        }
        return;
    }
    send_or_hold(t, t->expect++);
}

static void on_ack(struct transfer* t, const unsigned char* in) {
    if (in[1] != OP_ACK || (unsigned)(in[2] * 256 + in[3]) != (t->expect & 0xffff)) {
        return;
    }
    if (t->lastSent) {
        finish(t, 1, NULL);
        return;
    }
    t->retries = 0;
    const unsigned reached = t->expect++;
    size_t len = t->file->size - t->offset;
    if (len > BLOCK) {
        len = BLOCK;
    }
    t->out[0] = 0;
    t->out[1] = OP_DATA;
    t->out[2] = (unsigned char)((t->expect >> 8) & 0xff);
    t->out[3] = (unsigned char)(t->expect & 0xff);
    memcpy(t->out + 4, t->file->bytes + t->offset, len);
    t->offset += len;
    t->outLen = 4 + len;
    t->lastSent = len < BLOCK;
    send_or_hold(t, reached);
}

/* Takes one datagram from the transfer's socket, if one is there (a blocking socket waits up
 * to its receive time-out). In lock step a second one is hardly ever waiting, so looking for
 * it would cost a system call per block for nothing; epoll reports it if it is there. */
static void readable(struct transfer* t) {
    unsigned char in[PACKET + 1];
    for (;;) {
        struct sockaddr_in from;
        socklen_t fromLen = sizeof from;
        const ssize_t n = recvfrom(t->fd, in, sizeof in, 0, (struct sockaddr*)&from, &fromLen);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                finish(t, 0, strerror(errno));
            }
            return;
        }
        if (!t->connected) {
            if (from.sin_addr.s_addr != server.sin_addr.s_addr) {
                return;
            }
            /* From now on the kernel drops every other sender. */
            if (connect(t->fd, (const struct sockaddr*)&from, sizeof from) != 0) {
                finish(t, 0, strerror(errno));
                return;
            }
            t->connected = 1;
        }
        if (n < 4 || n > PACKET || t->held) {
            return; /* a held transfer lets the server's re-sends wait too */
        }
        if (in[1] == OP_ERROR) {
            char text[200];
            snprintf(text, sizeof text, "server sent ERROR %d: %.*s", in[2] * 256 + in[3],
                     (int)(n > 4 ? n - 5 : 0), (const char*)in + 4);
            finish(t, 0, text);
        } else if (t->write) {
            on_ack(t, in);
        } else {
            on_data(t, in, (size_t)n);
        }
        return;
    }
}

static int released(void) {
    return __atomic_load_n(&hold_released, __ATOMIC_ACQUIRE);
}

/* Sends what the held transfers parked, once they are released. */
static int resume(struct worker* w) {
    int ended = 0;
    for (int i = 0; i < w->count; ++i) {
        struct transfer* t = w->transfers[i];
        if (t->held && !t->done) {
            t->held = 0;
            transmit(t);
            ended += t->done;
        }
    }
    return ended;
}

/* Re-sends on silence; returns how many transfers gave up. */
static int retry(struct worker* w, double now) {
    int ended = 0;
    for (int i = 0; i < w->count; ++i) {
        struct transfer* t = w->transfers[i];
        if (t->done || t->held || now - t->sentAt < RETRY_MS / 1000.0) {
            continue;
        }
        if (++t->retries > MAX_RETRIES) {
            finish(t, 0, "timed out");
        } else {
            transmit(t);
        }
        ended += t->done;
    }
    return ended;
}

/* A thread with one transfer waits on its socket alone: one system call fewer per block. */
static void run_single(struct worker* w) {
    struct transfer* t = w->transfers[0];
    if (!start(t)) {
        return;
    }
    const int flags = fcntl(t->fd, F_GETFL);
    fcntl(t->fd, F_SETFL, flags & ~O_NONBLOCK);
    struct timeval tv = {0, 100 * 1000};
    setsockopt(t->fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int wasReleased = 0;
    while (!t->done) {
        readable(t);
        if (!wasReleased && released()) {
            wasReleased = 1;
            resume(w);
        }
        if (!t->done && now_seconds() - t->sentAt >= RETRY_MS / 1000.0) {
            retry(w, now_seconds());
        }
    }
}

static void* run_worker(void* arg) {
    struct worker* w = arg;
    if (w->count == 1) {
        run_single(w);
        return NULL;
    }
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event ev = {.events = EPOLLIN, .data.ptr = NULL};
    epoll_ctl(ep, EPOLL_CTL_ADD, w->wake, &ev);
    int live = 0;
    for (int i = 0; i < w->count; ++i) {
        struct transfer* t = w->transfers[i];
        if (start(t)) {
            ev.data.ptr = t;
            epoll_ctl(ep, EPOLL_CTL_ADD, t->fd, &ev);
            ++live;
        }
    }
    int wasReleased = 0;
    double lastScan = now_seconds();
    while (live > 0) {
        struct epoll_event events[64];
        const int n = epoll_wait(ep, events, 64, 100);
        for (int i = 0; i < n; ++i) {
            struct transfer* t = events[i].data.ptr;
            if (!t) {
                uint64_t value;
                if (read(w->wake, &value, sizeof value) < 0) {
                    perror("eventfd");
                }
            } else if (!t->done) {
                readable(t);
                live -= t->done;
            }
        }
        if (!wasReleased && released()) {
            wasReleased = 1;
            live -= resume(w);
        }
        const double now = now_seconds();
        if (now - lastScan >= 0.1) {
            lastScan = now;
            live -= retry(w, now);
        }
    }
    close(ep);
    return NULL;
}

static int map_file(const char* path, struct mapped* m) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        perror(path);
        return 0;
    }
    m->size = (size_t)st.st_size;
    m->bytes = (const unsigned char*)"";
    if (m->size > 0) {
        void* p = mmap(NULL, m->size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (p == MAP_FAILED) {
            perror(path);
            return 0;
        }
        m->bytes = p;
    }
    close(fd);
    return 1;
}

/* VmRSS and VmHWM of a process, in KiB. */
static void read_memory(long pid, long* rss, long* hwm) {
    char path[64], line[256];
    snprintf(path, sizeof path, "/proc/%ld/status", pid);
    *rss = *hwm = -1;
    FILE* f = fopen(path, "r");
    if (!f) {
        return;
    }
    while (fgets(line, sizeof line, f)) {
        sscanf(line, "VmRSS: %ld", rss);
        sscanf(line, "VmHWM: %ld", hwm);
    }
    fclose(f);
}

static int usage(void) {
    fprintf(stderr, "usage: tftpbench get HOST PORT NAME COUNT EXPECTED\n"
                    "       tftpbench put HOST PORT NAME COUNT SOURCE\n"
                    "       tftpbench hold HOST PORT READNAME EXPECTED WRITENAME SOURCE COUNT "
                    "PID\n");
    return 2;
}

int main(int argc, char** argv) {
    if (argc < 7) {
        return usage();
    }
    const char* mode = argv[1];
    const int hold = strcmp(mode, "hold") == 0;
    if (!hold && strcmp(mode, "get") != 0 && strcmp(mode, "put") != 0) {
        return usage();
    }
    if (hold && argc != 10) {
        return usage();
    }
    server.sin_family = AF_INET;
    server.sin_port = htons((uint16_t)atoi(argv[3]));
    if (inet_pton(AF_INET, argv[2], &server.sin_addr) != 1) {
        return usage();
    }

    struct mapped readFile = {0}, writeFile = {0};
    int count;
    long pid = 0;
    if (hold) {
        count = atoi(argv[8]);
        pid = atol(argv[9]);
        if (!map_file(argv[5], &readFile) || !map_file(argv[7], &writeFile)) {
            return 2;
        }
    } else {
        count = atoi(argv[5]);
        if (!map_file(argv[6], strcmp(mode, "get") == 0 ? &readFile : &writeFile)) {
            return 2;
        }
    }
    if (count < 1) {
        return usage();
    }

    struct transfer* ts = calloc((size_t)count, sizeof *ts);
    for (int i = 0; i < count; ++i) {
        struct transfer* t = &ts[i];
        t->write = hold ? i % 2 : strcmp(mode, "put") == 0;
        t->file = t->write ? &writeFile : &readFile;
        t->hold = hold;
        t->fd = -1;
        if (count > 1) {
            t->source.s_addr = htonl((127u << 24) | (1u << 16) | (unsigned)(i / 250) << 8 |
                                     (unsigned)(i % 250 + 1));
        }
        const char* name = hold ? (t->write ? argv[6] : argv[4]) : argv[4];
        if (t->write && count > 1) {
            snprintf(t->name, sizeof t->name, "%s.%d", name, i + 1);
        } else {
            snprintf(t->name, sizeof t->name, "%s", name);
        }
    }

    int threads = (int)sysconf(_SC_NPROCESSORS_ONLN);
    if (getenv("TFTPBENCH_THREADS")) {
        threads = atoi(getenv("TFTPBENCH_THREADS"));
    }
    if (threads < 1) {
        threads = 1;
    }
    if (threads > MAX_THREADS) {
        threads = MAX_THREADS;
    }
    if (threads > count) {
        threads = count;
    }
    struct worker workers[MAX_THREADS];
    struct transfer** slots = calloc((size_t)count, sizeof *slots);
    for (int w = 0, next = 0; w < threads; ++w) {
        workers[w].transfers = slots + next;
        workers[w].count = 0;
        for (int i = w; i < count; i += threads) {
            slots[next++] = &ts[i];
            ++workers[w].count;
        }
        workers[w].wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }

    const double begin = now_seconds();
    for (int w = 0; w < threads; ++w) {
        if (pthread_create(&workers[w].thread, NULL, run_worker, &workers[w]) != 0) {
            fprintf(stderr, "cannot start thread %d\n", w);
            return 1;
        }
    }
    if (hold) {
        pthread_mutex_lock(&hold_lock);
        while (hold_arrived < count) {
            pthread_cond_wait(&hold_cond, &hold_lock);
        }
        pthread_mutex_unlock(&hold_lock);
        /* Let the last requests' answers settle before looking. */
        usleep(200 * 1000);
        long rss, hwm;
        read_memory(pid, &rss, &hwm);
        printf("vmrss_kib=%ld vmhwm_kib=%ld\n", rss, hwm);
        fflush(stdout);
        __atomic_store_n(&hold_released, 1, __ATOMIC_RELEASE);
        for (int w = 0; w < threads; ++w) {
            const uint64_t one = 1;
            if (write(workers[w].wake, &one, sizeof one) < 0) {
                perror("eventfd");
            }
        }
    }
    int failed = 0;
    for (int w = 0; w < threads; ++w) {
        pthread_join(workers[w].thread, NULL);
    }
    const double seconds = now_seconds() - begin;
    for (int i = 0; i < count; ++i) {
        if (!ts[i].ok) {
            fprintf(stderr, "tftpbench: %s\n", ts[i].error);
            ++failed;
        }
    }
    printf("seconds=%.6f\n", seconds);
    return failed ? 1 : 0;
}
