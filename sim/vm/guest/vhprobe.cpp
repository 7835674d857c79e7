// SPDX-License-Identifier: MIT
/*
 * The guest's measurements of sysfs attribute files under the real kernel: what poll()
 * reports on a freshly opened file, whether a notification wakes a poller, what an open
 * descriptor does once its device is unbound and bound again. Prints "key: value" lines.
 *
 *   vhprobe fresh FILE
 *   vhprobe notify FILE CONTROL COMMAND
 *   vhprobe unbind FILE DRIVER_DIR DEVICE
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static const char *events_text(int events) {
    static char text[96];

    snprintf(text, sizeof(text), "0x%x%s%s%s%s%s%s", events, events & POLLIN ? " IN" : "",
             events & POLLPRI ? " PRI" : "", events & POLLOUT ? " OUT" : "",
             events & POLLERR ? " ERR" : "", events & POLLHUP ? " HUP" : "",
             events & POLLNVAL ? " NVAL" : "");
    return text;
}

static double now_ms(void) {
    struct timespec ts;

    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

/* poll() for POLLPRI; the returned events, or -errno. */
static int poll_pri(int fd, int timeout_ms) {
    struct pollfd p = {.fd = fd, .events = POLLPRI, .revents = 0};
    int n = poll(&p, 1, timeout_ms);

    return n < 0 ? -errno : n == 0 ? 0 : p.revents;
}

/* Reads from offset 0; prints the value or the error. */
static void read_value(const char *key, int fd) {
    char buf[256];
    ssize_t n = pread(fd, buf, sizeof(buf) - 1, 0);

    if (n < 0) {
        printf("%s: error %s\n", key, strerrorname_np(errno));
        return;
    }
    buf[n] = '\0';
    buf[strcspn(buf, "\n")] = '\0';
    printf("%s: \"%s\"\n", key, buf);
}

static void poll_report(const char *key, int fd, int timeout_ms) {
    int events = poll_pri(fd, timeout_ms);

    if (events < 0)
        printf("%s: error %s\n", key, strerrorname_np(-events));
    else
        printf("%s: %s\n", key, events_text(events));
}

static int write_text(const char *path, const char *text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    ssize_t n;

    if (fd < 0)
        return -errno;
    n = write(fd, text, strlen(text));
    n = n < 0 ? -errno : 0;
    close(fd);
    return (int)n;
}

static int open_or_die(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);

    if (fd < 0) {
        printf("open %s: error %s\n", path, strerrorname_np(errno));
        exit(1);
    }
    return fd;
}

static int cmd_fresh(const char *file) {
    int fd = open_or_die(file);

    poll_report("poll before the first read", fd, 0);
    read_value("first read", fd);
    poll_report("poll after the read", fd, 0);
    close(fd);
    return 0;
}

struct delayed_write {
    const char *path, *text;
    int delay_ms, result;
};

static void *delayed_write_thread(void *arg) {
    auto *w = static_cast<struct delayed_write *>(arg);

    usleep(w->delay_ms * 1000);
    w->result = write_text(w->path, w->text);
    return NULL;
}

/* Waits for the attribute's notification while a thread writes command into control. */
static int cmd_notify(const char *file, const char *control, const char *command) {
    struct delayed_write w = {control, command, 200, 0};
    struct epoll_event ev {
    }, out{};
    ev.events = EPOLLPRI | EPOLLERR;
    pthread_t thread;
    double start;
    int fd = open_or_die(file), events, ep, n;

    read_value("value before", fd);
    poll_report("poll after the read", fd, 0);

    pthread_create(&thread, NULL, delayed_write_thread, &w);
    start = now_ms();
    events = poll_pri(fd, 5000);
    pthread_join(thread, NULL);
    printf("poll woken: %s after %.0f ms (control write %s)\n", events_text(events),
           now_ms() - start, w.result ? strerrorname_np(-w.result) : "ok");
    poll_report("poll again, not read", fd, 0);
    read_value("value after", fd);
    poll_report("poll after reading it", fd, 0);

    /* The daemon's way: level-triggered epoll for EPOLLPRI | EPOLLERR. */
    ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    n = epoll_wait(ep, &out, 1, 0);
    printf("epoll before the notification: %d\n", n);
    pthread_create(&thread, NULL, delayed_write_thread, &w);
    start = now_ms();
    n = epoll_wait(ep, &out, 1, 5000);
    pthread_join(thread, NULL);
    printf("epoll woken: %d, %s after %.0f ms\n", n, n > 0 ? events_text(out.events) : "-",
           now_ms() - start);
    n = epoll_wait(ep, &out, 1, 0);
    printf("epoll again, not read (level-triggered): %d\n", n);
    read_value("epoll value after", fd);
    n = epoll_wait(ep, &out, 1, 0);
    printf("epoll after reading it: %d\n", n);
    close(ep);
    close(fd);
    return 0;
}

struct poller {
    int fd, events;
    double waited_ms;
};

static void *poller_thread(void *arg) {
    auto *p = static_cast<struct poller *>(arg);
    double start = now_ms();

    p->events = poll_pri(p->fd, 3000);
    p->waited_ms = now_ms() - start;
    return NULL;
}

static int cmd_unbind(const char *file, const char *driver_dir, const char *device) {
    char unbind[512], bind[512];
    struct stat before, after;
    struct epoll_event ev {
    }, out{};
    ev.events = EPOLLPRI | EPOLLERR;
    struct poller p;
    pthread_t thread;
    int fd = open_or_die(file), ret, fd2, ep, ep2, n;

    snprintf(unbind, sizeof(unbind), "%s/unbind", driver_dir);
    snprintf(bind, sizeof(bind), "%s/bind", driver_dir);
    stat(file, &before);
    read_value("value before", fd);
    /* The daemon's registration, made while the file exists. */
    ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);

    p.fd = fd;
    pthread_create(&thread, NULL, poller_thread, &p);
    usleep(200 * 1000);
    ret = write_text(unbind, device);
    printf("unbind: %s\n", ret ? strerrorname_np(-ret) : "ok");
    pthread_join(thread, NULL);
    printf("poll waiting across the unbind: %s after %.0f ms (3000 ms timeout)\n",
           events_text(p.events), p.waited_ms);
    printf("path after unbind: %s\n", access(file, F_OK) == 0 ? "exists" : strerrorname_np(errno));
    read_value("read on the open descriptor after unbind", fd);
    poll_report("poll on the open descriptor after unbind", fd, 0);
    n = epoll_wait(ep, &out, 1, 0);
    printf("epoll registered before the unbind, after it: %d%s%s\n", n, n > 0 ? ", " : "",
           n > 0 ? events_text(out.events) : "");
    ep2 = epoll_create1(EPOLL_CLOEXEC);
    ret = epoll_ctl(ep2, EPOLL_CTL_ADD, fd, &ev) ? -errno : 0;
    n = epoll_wait(ep2, &out, 1, 0);
    printf("epoll registered after the unbind: add %s, %d%s%s\n",
           ret ? strerrorname_np(-ret) : "ok", n, n > 0 ? ", " : "",
           n > 0 ? events_text(out.events) : "");
    close(ep2);
    close(ep);

    ret = write_text(bind, device);
    printf("bind: %s\n", ret ? strerrorname_np(-ret) : "ok");
    if (stat(file, &after) != 0) {
        printf("path after bind: %s\n", strerrorname_np(errno));
        return 1;
    }
    printf("path after bind: exists; st_ino %llu before, %llu after (%s)\n",
           (unsigned long long)before.st_ino, (unsigned long long)after.st_ino,
           before.st_ino == after.st_ino ? "same" : "changed");
    read_value("read on the old descriptor after bind", fd);
    poll_report("poll on the old descriptor after bind", fd, 0);
    fd2 = open_or_die(file);
    read_value("read on a new descriptor after bind", fd2);
    close(fd2);
    close(fd);
    return 0;
}

int main(int argc, char **argv) {
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (argc == 3 && !strcmp(argv[1], "fresh"))
        return cmd_fresh(argv[2]);
    if (argc == 5 && !strcmp(argv[1], "notify"))
        return cmd_notify(argv[2], argv[3], argv[4]);
    if (argc == 5 && !strcmp(argv[1], "unbind"))
        return cmd_unbind(argv[2], argv[3], argv[4]);
    fprintf(stderr, "usage: vhprobe fresh FILE | notify FILE CONTROL COMMAND |"
                    " unbind FILE DRIVER_DIR DEVICE\n");
    return 2;
}
