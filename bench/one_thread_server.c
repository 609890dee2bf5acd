/* The benchmark's yardstick for serving on one thread: the least a TFTP server can do per
 * block, with nothing but epoll, one connected socket per transfer, pread and pwrite. It shows
 * what the loopback path itself costs one core, which bounds what any one-thread server (such
 * as drovemoor) can reach against servers that spread their transfers over every core.
 *
 *   one_thread_server PORT ROOT
 *
 * Plain names only (no "/"), octet bytes, no options, no re-sends: loopback in the
 * benchmark's own namespace loses nothing, and the client re-sends on silence anyway.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

enum { BLOCK = 512, PACKET = 516 };

struct transfer {
    int fd; /* connected to the client */
    int file;
    int write;
    unsigned block; /* read: the block last sent; write: the block last acknowledged */
    int last;       /* read: the short block went out */
};

static void send_error(int fd, const struct sockaddr_in* to, const char* text) {
    unsigned char p[PACKET];
    const size_t n = strlen(text);
    p[0] = 0, p[1] = 5, p[2] = 0, p[3] = 1;
    memcpy(p + 4, text, n + 1);
    sendto(fd, p, 5 + n, 0, (const struct sockaddr*)to, sizeof *to);
}

static void send_block(struct transfer* t) {
    unsigned char p[PACKET];
    p[0] = 0, p[1] = 3, p[2] = (unsigned char)(t->block >> 8), p[3] = (unsigned char)t->block;
    const ssize_t n = pread(t->file, p + 4, BLOCK, (off_t)(t->block - 1) * BLOCK);
    const size_t len = n > 0 ? (size_t)n : 0;
    t->last = len < BLOCK;
    send(t->fd, p, 4 + len, 0);
}

static void send_ack(struct transfer* t) {
    const unsigned char p[4] = {0, 4, (unsigned char)(t->block >> 8), (unsigned char)t->block};
    send(t->fd, p, 4, 0);
}

static void end(struct transfer* t) {
    close(t->fd);
    close(t->file);
    free(t);
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: one_thread_server PORT ROOT\n");
        return 2;
    }
    const int root = open(argv[2], O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int listener = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in at = {.sin_family = AF_INET, .sin_port = htons((uint16_t)atoi(argv[1]))};
    if (root < 0 || listener < 0 || bind(listener, (struct sockaddr*)&at, sizeof at) != 0) {
        perror("one_thread_server");
        return 1;
    }
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event ev = {.events = EPOLLIN, .data.ptr = NULL};
    epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
    unsigned char in[PACKET + 1];
    for (;;) {
        struct epoll_event events[64];
        const int n = epoll_wait(ep, events, 64, -1);
        for (int i = 0; i < n; ++i) {
            struct transfer* t = events[i].data.ptr;
            if (!t) {
                struct sockaddr_in from;
                socklen_t fromLen = sizeof from;
                const ssize_t k =
                    recvfrom(listener, in, sizeof in - 1, 0, (struct sockaddr*)&from, &fromLen);
                if (k < 4 || (in[1] != 1 && in[1] != 2)) {
                    continue;
                }
                in[k] = 0;
                const char* name = (const char*)in + 2;
                if (strchr(name, '/') || strcmp(name, "..") == 0 || !*name) {
                    send_error(listener, &from, "bad name");
                    continue;
                }
                t = calloc(1, sizeof *t);
                t->write = in[1] == 2;
                t->file = openat(root, name,
                                 t->write ? O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC
                                          : O_RDONLY | O_CLOEXEC,
                                 0644);
                if (t->file < 0) {
                    send_error(listener, &from, "cannot open");
                    free(t);
                    continue;
                }
                t->fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
                connect(t->fd, (struct sockaddr*)&from, sizeof from);
                ev.data.ptr = t;
                epoll_ctl(ep, EPOLL_CTL_ADD, t->fd, &ev);
                if (t->write) {
                    send_ack(t);
                } else {
                    t->block = 1;
                    send_block(t);
                }
                continue;
            }
            const ssize_t k = recv(t->fd, in, sizeof in, 0);
            if (k < 4) {
                continue;
            }
            const unsigned block = in[2] * 256u + in[3];
            if (!t->write && in[1] == 4 && block == (t->block & 0xffff)) {
                if (t->last) {
                    end(t);
                } else {
                    ++t->block;
                    send_block(t);
                }
            } else if (t->write && in[1] == 3 && block == ((t->block + 1) & 0xffff)) {
                const size_t len = (size_t)k - 4;
                if (pwrite(t->file, in + 4, len, (off_t)t->block * BLOCK) != (ssize_t)len) {
                    end(t);
                    continue;
                }
                ++t->block;
                send_ack(t);
                if (len < BLOCK) {
                    end(t);
                }
            }
        }
    }
}
