/*
 * Time warp for the virtual headset: an LD_PRELOAD library that makes the monotonic clocks run
 * F times faster and every relative wait F times shorter, so a daemon's 20 s epoll timeout and
 * 60 s hold-off pass in a fraction of real time. The factor comes from VH_TIMEWARP_FACTOR.
 *
 * Warped time of a monotonic clock: base + (real - base) * F, with base the clock's real value
 * when the library initialised. Absolute deadlines on those clocks map back with the inverse.
 * CLOCK_REALTIME is left alone: wall-clock time keeps its meaning.
 *
 * glibc does not route its own entry points through each other in a way LD_PRELOAD can reach
 * (epoll_wait does not call epoll_pwait, sleep and usleep call an internal nanosleep), so every
 * entry point is wrapped on its own. Nothing here touches the heap: the library runs before and
 * inside sanitizer runtimes and must not depend on an allocator.
 */
#define _GNU_SOURCE // NOLINT(bugprone-reserved-identifier): glibc's switch for RTLD_NEXT
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#define NS_PER_SEC 1000000000LL

enum { WARPED_CLOCK_COUNT = 5 };
static const clockid_t warped_clocks[WARPED_CLOCK_COUNT] = {CLOCK_MONOTONIC, CLOCK_MONOTONIC_RAW,
                                                            CLOCK_MONOTONIC_COARSE, CLOCK_BOOTTIME,
                                                            CLOCK_BOOTTIME_ALARM};

static double factor = 1.0;
static int64_t base_ns[WARPED_CLOCK_COUNT];
static pthread_once_t init_once = PTHREAD_ONCE_INIT;

static int (*real_clock_gettime)(clockid_t, struct timespec *);
static int (*real_clock_nanosleep)(clockid_t, int, const struct timespec *, struct timespec *);
static int (*real_nanosleep)(const struct timespec *, struct timespec *);
static int (*real_epoll_wait)(int, struct epoll_event *, int, int);
static int (*real_epoll_pwait)(int, struct epoll_event *, int, int, const sigset_t *);
static int (*real_epoll_pwait2)(int, struct epoll_event *, int, const struct timespec *,
                                const sigset_t *);
static int (*real_poll)(struct pollfd *, nfds_t, int);
static int (*real_ppoll)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *);
static int (*real_select)(int, fd_set *, fd_set *, fd_set *, struct timeval *);
static int (*real_pselect)(int, fd_set *, fd_set *, fd_set *, const struct timespec *,
                           const sigset_t *);
static int (*real_timerfd_settime)(int, int, const struct itimerspec *, struct itimerspec *);
static int (*real_timerfd_gettime)(int, struct itimerspec *);
static int (*real_timerfd_create)(clockid_t, int);

/* The POSIX way to turn dlsym's object pointer into a function pointer. */
#define RESOLVE(name)                                                                              \
    do {                                                                                           \
        void *symbol = dlsym(RTLD_NEXT, #name);                                                    \
        memcpy(&real_##name, &symbol, sizeof(symbol));                                             \
    } while (0)

static void initialise(void) {
    RESOLVE(clock_gettime);
    RESOLVE(clock_nanosleep);
    RESOLVE(nanosleep);
    RESOLVE(epoll_wait);
    RESOLVE(epoll_pwait);
    RESOLVE(epoll_pwait2);
    RESOLVE(poll);
    RESOLVE(ppoll);
    RESOLVE(select);
    RESOLVE(pselect);
    RESOLVE(timerfd_settime);
    RESOLVE(timerfd_gettime);
    RESOLVE(timerfd_create);

    const char *text = getenv("VH_TIMEWARP_FACTOR");
    if (text != NULL) {
        char *end = NULL;
        double parsed = strtod(text, &end);
        if (end != text && *end == '\0' && parsed >= 1.0 && parsed <= 10000.0)
            factor = parsed;
    }
    for (int i = 0; i < WARPED_CLOCK_COUNT; ++i) {
        struct timespec now;
        if (real_clock_gettime(warped_clocks[i], &now) == 0)
            base_ns[i] = (int64_t)now.tv_sec * NS_PER_SEC + now.tv_nsec;
    }
}

static void ensure_initialised(void) {
    pthread_once(&init_once, initialise);
}

__attribute__((constructor)) static void timewarp_constructor(void) {
    ensure_initialised();
}

static int warped_index(clockid_t clock) {
    for (int i = 0; i < WARPED_CLOCK_COUNT; ++i)
        if (warped_clocks[i] == clock)
            return i;
    return -1;
}

static int64_t to_ns(const struct timespec *ts) {
    return (int64_t)ts->tv_sec * NS_PER_SEC + ts->tv_nsec;
}

static struct timespec from_ns(int64_t ns) {
    if (ns < 0)
        ns = 0;
    struct timespec ts = {(time_t)(ns / NS_PER_SEC), (long)(ns % NS_PER_SEC)};
    return ts;
}

/* A relative duration of warped time as real time. Never rounds a non-zero wait down to zero,
 * which would turn a wait into a busy poll. */
static int64_t shrink_ns(int64_t warped) {
    if (warped <= 0)
        return warped;
    int64_t real = (int64_t)((double)warped / factor);
    return real > 0 ? real : 1;
}

static int64_t stretch_ns(int64_t real) {
    return (int64_t)((double)real * factor);
}

static int shrink_ms(int warped_ms) {
    if (warped_ms <= 0)
        return warped_ms; /* -1 waits forever, 0 polls */
    int64_t real_ms = (shrink_ns((int64_t)warped_ms * 1000000) + 999999) / 1000000;
    return (int)real_ms;
}

static struct timespec shrink_ts(const struct timespec *warped) {
    return from_ns(shrink_ns(to_ns(warped)));
}

static struct timespec stretch_ts(const struct timespec *real) {
    return from_ns(stretch_ns(to_ns(real)));
}

/* An absolute time of a warped clock as the clock's real time. */
static struct timespec real_deadline(int index, const struct timespec *warped) {
    int64_t base = base_ns[index];
    return from_ns(base + shrink_ns(to_ns(warped) - base));
}

int clock_gettime(clockid_t clock, struct timespec *ts) {
    ensure_initialised();
    int result = real_clock_gettime(clock, ts);
    int index = warped_index(clock);
    if (result != 0 || index < 0)
        return result;
    int64_t base = base_ns[index];
    *ts = from_ns(base + stretch_ns(to_ns(ts) - base));
    return result;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec *request,
                    struct timespec *remain) {
    ensure_initialised();
    int index = warped_index(clock);
    if (index < 0 || request == NULL)
        return real_clock_nanosleep(clock, flags, request, remain);
    if (flags & TIMER_ABSTIME) {
        struct timespec deadline = real_deadline(index, request);
        return real_clock_nanosleep(clock, flags, &deadline, remain);
    }
    struct timespec real_request = shrink_ts(request);
    struct timespec real_remain = {0, 0};
    int result = real_clock_nanosleep(clock, flags, &real_request, &real_remain);
    if (result == EINTR && remain != NULL)
        *remain = stretch_ts(&real_remain);
    return result;
}

int nanosleep(const struct timespec *request, struct timespec *remain) {
    ensure_initialised();
    if (request == NULL)
        return real_nanosleep(request, remain);
    struct timespec real_request = shrink_ts(request);
    struct timespec real_remain = {0, 0};
    int result = real_nanosleep(&real_request, &real_remain);
    if (result != 0 && errno == EINTR && remain != NULL)
        *remain = stretch_ts(&real_remain);
    return result;
}

int usleep(useconds_t usec) {
    struct timespec request = from_ns((int64_t)usec * 1000);
    return nanosleep(&request, NULL);
}

unsigned int sleep(unsigned int seconds) {
    struct timespec request = {(time_t)seconds, 0};
    struct timespec remain = {0, 0};
    if (nanosleep(&request, &remain) == 0)
        return 0;
    return (unsigned int)remain.tv_sec + (remain.tv_nsec > 0 ? 1u : 0u);
}

int epoll_wait(int epfd, struct epoll_event *events, int maxevents, int timeout_ms) {
    ensure_initialised();
    return real_epoll_wait(epfd, events, maxevents, shrink_ms(timeout_ms));
}

int epoll_pwait(int epfd, struct epoll_event *events, int maxevents, int timeout_ms,
                const sigset_t *sigmask) {
    ensure_initialised();
    return real_epoll_pwait(epfd, events, maxevents, shrink_ms(timeout_ms), sigmask);
}

int epoll_pwait2(int epfd, struct epoll_event *events, int maxevents,
                 const struct timespec *timeout, const sigset_t *sigmask) {
    ensure_initialised();
    if (timeout == NULL)
        return real_epoll_pwait2(epfd, events, maxevents, timeout, sigmask);
    struct timespec real_timeout = shrink_ts(timeout);
    return real_epoll_pwait2(epfd, events, maxevents, &real_timeout, sigmask);
}

int poll(struct pollfd *fds, nfds_t nfds, int timeout_ms) {
    ensure_initialised();
    return real_poll(fds, nfds, shrink_ms(timeout_ms));
}

int ppoll(struct pollfd *fds, nfds_t nfds, const struct timespec *timeout,
          const sigset_t *sigmask) {
    ensure_initialised();
    if (timeout == NULL)
        return real_ppoll(fds, nfds, timeout, sigmask);
    struct timespec real_timeout = shrink_ts(timeout);
    return real_ppoll(fds, nfds, &real_timeout, sigmask);
}

int select(int nfds, fd_set *readfds, fd_set *writefds, fd_set *exceptfds,
           struct timeval *timeout) {
    ensure_initialised();
    if (timeout == NULL)
        return real_select(nfds, readfds, writefds, exceptfds, timeout);
    int64_t real_us =
        shrink_ns((int64_t)timeout->tv_sec * NS_PER_SEC + (int64_t)timeout->tv_usec * 1000) / 1000;
    if (real_us == 0 && (timeout->tv_sec > 0 || timeout->tv_usec > 0))
        real_us = 1;
    struct timeval real_timeout = {(time_t)(real_us / 1000000), (suseconds_t)(real_us % 1000000)};
    int result = real_select(nfds, readfds, writefds, exceptfds, &real_timeout);
    /* Linux reports the time not slept; report it in warped time. */
    int64_t left_us =
        stretch_ns(((int64_t)real_timeout.tv_sec * 1000000 + real_timeout.tv_usec) * 1000) / 1000;
    timeout->tv_sec = (time_t)(left_us / 1000000);
    timeout->tv_usec = (suseconds_t)(left_us % 1000000);
    return result;
}

int pselect(int nfds, fd_set *readfds, fd_set *writefds, fd_set *exceptfds,
            const struct timespec *timeout, const sigset_t *sigmask) {
    ensure_initialised();
    if (timeout == NULL)
        return real_pselect(nfds, readfds, writefds, exceptfds, timeout, sigmask);
    struct timespec real_timeout = shrink_ts(timeout);
    return real_pselect(nfds, readfds, writefds, exceptfds, &real_timeout, sigmask);
}

/* timerfd: the clock of a timer is only known at creation, so remember it per descriptor. */
enum { TIMERFD_SLOTS = 1024 };
static signed char timerfd_clock_index[TIMERFD_SLOTS]; /* 0: unknown, else index + 1 */

int timerfd_create(clockid_t clock, int flags) {
    ensure_initialised();
    int fd = real_timerfd_create(clock, flags);
    if (fd >= 0 && fd < TIMERFD_SLOTS)
        timerfd_clock_index[fd] = (signed char)(warped_index(clock) + 1);
    return fd;
}

static int timerfd_warped_index(int fd) {
    if (fd < 0 || fd >= TIMERFD_SLOTS)
        return -1;
    return timerfd_clock_index[fd] - 1;
}

int timerfd_settime(int fd, int flags, const struct itimerspec *value, struct itimerspec *old) {
    ensure_initialised();
    int index = timerfd_warped_index(fd);
    if (index < 0 || value == NULL)
        return real_timerfd_settime(fd, flags, value, old);
    struct itimerspec real_value;
    real_value.it_interval = shrink_ts(&value->it_interval);
    if (value->it_value.tv_sec == 0 && value->it_value.tv_nsec == 0)
        real_value.it_value = value->it_value; /* disarms */
    else if (flags & TFD_TIMER_ABSTIME)
        real_value.it_value = real_deadline(index, &value->it_value);
    else
        real_value.it_value = shrink_ts(&value->it_value);
    int result = real_timerfd_settime(fd, flags, &real_value, old);
    if (result == 0 && old != NULL) {
        old->it_interval = stretch_ts(&old->it_interval);
        old->it_value = stretch_ts(&old->it_value);
    }
    return result;
}

int timerfd_gettime(int fd, struct itimerspec *current) {
    ensure_initialised();
    int result = real_timerfd_gettime(fd, current);
    if (result == 0 && current != NULL && timerfd_warped_index(fd) >= 0) {
        current->it_interval = stretch_ts(&current->it_interval);
        current->it_value = stretch_ts(&current->it_value);
    }
    return result;
}
