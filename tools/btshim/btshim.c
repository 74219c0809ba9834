/*
 * Test-only LD_PRELOAD library: this kernel has no Bluetooth sockets, so
 * AF_BLUETOOTH sockets are carried over AF_UNIX sockets in the folder named by
 * TELVANE_BT_SHIM_DIR, where a simulated phone listens.
 *
 * Folder layout (ADDR as "AA:BB:CC:DD:EE:FF", upper case):
 *   ADDR/               the phone is in range (missing: connect gives EHOSTDOWN)
 *   ADDR/rfcomm-N       stream socket of RFCOMM server channel N
 *   ADDR/sdp            seqpacket socket of the SDP server (L2CAP PSM 1)
 *   ADDR/l2cap-N        seqpacket socket of another L2CAP PSM
 *   ADDR/sco            seqpacket socket accepting SCO links
 *   ADDR/sco_mtu        decimal MTU reported by SCO_OPTIONS (default 64)
 *   ADDR/sco_voice      written at each SCO connect, and when an accepted link
 *                       completes: its BT_VOICE setting ("0x0060")
 *   ADDR/no_transparent present: a transparent SCO connect fails with
 *                       EOPNOTSUPP, as on an adapter that cannot carry it;
 *                       so does a phone's link accepted as transparent,
 *                       after the read that completes it (see below)
 * A bound SCO socket that listens is served at LOCAL/sco (LOCAL: its bound
 * address): the connecting phone sends its address as the first packet and
 * its connect completes when it receives a one-byte packet 0. With
 * BT_DEFER_SETUP on the listener that byte goes on the accepted socket's
 * first read, which returns 0, as the kernel completes the link then;
 * closing the socket unread refuses the link (the phone sees the end).
 * BT_VOICE goes on a socket before its connect, on a bound one before it
 * listens, or on an accepted one before that first read (EINVAL otherwise).
 * A transparent link the adapter cannot carry fails as the controller fails
 * the kernel's accept: the first read still returns 0, then the socket hangs
 * up, SO_ERROR and the next read give EOPNOTSUPP, later reads ENOTCONN.
 * A phone present without the socket gives ECONNREFUSED, as the kernel does.
 * An RFCOMM server answers every accepted stream with one byte before any
 * data: 0 when the link is up, else the errno the connect fails with (EBUSY
 * while another link to that channel is up, as the kernel allows only one).
 *
 * Faults: a file "fault-OP" holding an errno name or number and an optional
 * count ("EBUSY", "ECONNREFUSED 2", "EIO *" for every time) makes the next
 * OP fail. OP is one of socket-rfcomm, socket-l2cap, socket-sco,
 * connect-rfcomm, connect-l2cap, connect-sco, setsockopt-bt_voice,
 * getsockopt-bt_voice, getsockopt-sco_options.
 *
 * Every connect is appended to "shim.log" ("connect rfcomm ADDR 3 0").
 * Without TELVANE_BT_SHIM_DIR every call goes to the C library unchanged.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <bluetooth/bluetooth.h>
#include <bluetooth/l2cap.h>
#include <bluetooth/rfcomm.h>
#include <bluetooth/sco.h>

#define EXPORT __attribute__((visibility("default")))
#define MAX_FDS 4096

typedef int (*socket_fn)(int, int, int);
typedef int (*connect_fn)(int, const struct sockaddr*, socklen_t);
typedef int (*bind_fn)(int, const struct sockaddr*, socklen_t);
typedef int (*getsockopt_fn)(int, int, int, void*, socklen_t*);
typedef int (*setsockopt_fn)(int, int, int, const void*, socklen_t);
typedef int (*getname_fn)(int, struct sockaddr*, socklen_t*);
typedef int (*listen_fn)(int, int);
typedef int (*accept4_fn)(int, struct sockaddr*, socklen_t*, int);
typedef ssize_t (*read_fn)(int, void*, size_t);
typedef ssize_t (*recv_fn)(int, void*, size_t, int);
typedef ssize_t (*recvfrom_fn)(int, void*, size_t, int, struct sockaddr*, socklen_t*);
typedef ssize_t (*recvmsg_fn)(int, struct msghdr*, int);

struct bt_sock {
    int used;
    dev_t dev;
    ino_t ino;
    int proto;
    int bound;
    int connected;
    bdaddr_t local;
    bdaddr_t peer;
    uint8_t channel;
    uint16_t psm;
    uint16_t voice;
    uint16_t mtu;
    int listening;
    int defer;      /* BT_DEFER_SETUP on a listener */
    int deferred;   /* accepted, the link waiting for the first read */
    int link_err;   /* the link failed after its setup: errno still to report */
    int failed;     /* the link failed after its setup */
};

/* Accepted sockets still waiting for their first read: reads skip the
 * table while there are none. */
static int deferred_count;
/* Accepted sockets whose link failed after the read that set it up. */
static int failed_count;

static struct bt_sock socks[MAX_FDS];
static pthread_mutex_t socks_lock = PTHREAD_MUTEX_INITIALIZER;

static void* next_fn(const char* name)
{
    void* fn = dlsym(RTLD_NEXT, name);
    if (!fn) {
        fprintf(stderr, "btshim: no next %s\n", name);
        abort();
    }
    return fn;
}

#define REAL(type, name) ((type)next_fn(#name))
/* For the calls every read of the process goes through: looked up once. */
#define CACHED(type, name) ({ static type fn_; if (!fn_) fn_ = (type)next_fn(#name); fn_; })

static const char* shim_dir(void)
{
    const char* dir = getenv("TELVANE_BT_SHIM_DIR");
    return dir && dir[0] ? dir : NULL;
}

static const char* proto_name(int proto)
{
    switch (proto) {
    case BTPROTO_RFCOMM: return "rfcomm";
    case BTPROTO_L2CAP: return "l2cap";
    case BTPROTO_SCO: return "sco";
    default: return "?";
    }
}

static void addr_text(const bdaddr_t* ba, char out[18])
{
    snprintf(out, 18, "%02X:%02X:%02X:%02X:%02X:%02X", ba->b[5], ba->b[4], ba->b[3], ba->b[2], ba->b[1],
             ba->b[0]);
}

/* The entry for fd, copied out, when fd is still the socket the shim made. */
static int lookup(int fd, struct bt_sock* out)
{
    struct stat st;
    if (fd < 0 || fd >= MAX_FDS)
        return 0;
    pthread_mutex_lock(&socks_lock);
    int found = socks[fd].used;
    if (found) {
        /* A closed descriptor number may have been reused for anything else. */
        if (fstat(fd, &st) != 0 || st.st_ino != socks[fd].ino || st.st_dev != socks[fd].dev) {
            socks[fd].used = 0;
            found = 0;
        } else if (out) {
            *out = socks[fd];
        }
    }
    pthread_mutex_unlock(&socks_lock);
    return found;
}

static void store(int fd, const struct bt_sock* s)
{
    pthread_mutex_lock(&socks_lock);
    socks[fd] = *s;
    pthread_mutex_unlock(&socks_lock);
}

static const struct {
    const char* name;
    int value;
} errno_names[] = {
    {"EHOSTDOWN", EHOSTDOWN}, {"ECONNREFUSED", ECONNREFUSED}, {"EBUSY", EBUSY},
    {"EMLINK", EMLINK}, {"ETIMEDOUT", ETIMEDOUT}, {"EACCES", EACCES},
    {"EPERM", EPERM}, {"ENOMEM", ENOMEM}, {"EINVAL", EINVAL},
    {"ENOPROTOOPT", ENOPROTOOPT}, {"EOPNOTSUPP", EOPNOTSUPP}, {"EIO", EIO},
    {"ECONNRESET", ECONNRESET}, {"EAFNOSUPPORT", EAFNOSUPPORT}, {"EMFILE", EMFILE},
    {"ENFILE", ENFILE}, {"EHOSTUNREACH", EHOSTUNREACH}, {"ENETDOWN", ENETDOWN},
    {"ENODEV", ENODEV}, {"EAGAIN", EAGAIN}, {"ENOTCONN", ENOTCONN},
    {"EPROTONOSUPPORT", EPROTONOSUPPORT}, {"ECONNABORTED", ECONNABORTED},
};

/* Consumes one use of fault-OP; returns its errno or 0. */
static int take_fault(const char* op)
{
    const char* dir = shim_dir();
    char path[512], text[64];
    if (!dir)
        return 0;
    snprintf(path, sizeof path, "%s/fault-%s", dir, op);
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return 0;
    flock(fd, LOCK_EX);
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    int err = 0;
    if (n > 0) {
        text[n] = '\0';
        char name[32] = "", count[16] = "";
        sscanf(text, "%31s %15s", name, count);
        for (size_t i = 0; i < sizeof errno_names / sizeof errno_names[0]; i++)
            if (strcmp(name, errno_names[i].name) == 0)
                err = errno_names[i].value;
        if (!err)
            err = atoi(name);
        if (strcmp(count, "*") != 0) {
            int left = count[0] ? atoi(count) - 1 : 0;
            if (left <= 0) {
                unlink(path);
            } else {
                char rest[64];
                int len = snprintf(rest, sizeof rest, "%s %d\n", name, left);
                if (ftruncate(fd, 0) != 0 || pwrite(fd, rest, (size_t)len, 0) < 0)
                    left = 0; /* the fault still applies this once */
            }
        }
    }
    flock(fd, LOCK_UN);
    close(fd);
    return err;
}

static void journal(const char* line)
{
    const char* dir = shim_dir();
    char path[512];
    if (!dir)
        return;
    snprintf(path, sizeof path, "%s/shim.log", dir);
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ssize_t w = write(fd, line, strlen(line));
    (void)w;
    close(fd);
}

static int fail(int err)
{
    errno = err;
    return -1;
}

EXPORT int socket(int domain, int type, int protocol)
{
    socket_fn real_socket = REAL(socket_fn, socket);
    int base = type & ~(SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (domain != AF_BLUETOOTH || !shim_dir())
        return real_socket(domain, type, protocol);
    int ok = (protocol == BTPROTO_RFCOMM && base == SOCK_STREAM) ||
             (protocol == BTPROTO_L2CAP && (base == SOCK_SEQPACKET || base == SOCK_STREAM)) ||
             (protocol == BTPROTO_SCO && base == SOCK_SEQPACKET);
    if (!ok)
        return real_socket(domain, type, protocol);
    char op[32];
    snprintf(op, sizeof op, "socket-%s", proto_name(protocol));
    int err = take_fault(op);
    if (err)
        return fail(err);
    int fd = real_socket(AF_UNIX, type, 0);
    if (fd < 0)
        return fd;
    struct stat st;
    if (fd >= MAX_FDS || fstat(fd, &st) != 0) {
        close(fd);
        return fail(EMFILE);
    }
    struct bt_sock s;
    memset(&s, 0, sizeof s);
    s.used = 1;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.proto = protocol;
    s.voice = BT_VOICE_CVSD_16BIT;
    s.mtu = 64;
    store(fd, &s);
    return fd;
}

static int read_mtu(const char* phone_dir)
{
    char path[512], text[32];
    snprintf(path, sizeof path, "%s/sco_mtu", phone_dir);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 64;
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return 64;
    text[n] = '\0';
    int mtu = atoi(text);
    return mtu > 0 && mtu < 65536 ? mtu : 64;
}

/* The phone's verdict on an RFCOMM link; a shutdown of the socket by
 * another thread ends the wait, as it aborts a connect in the kernel. */
static int rfcomm_verdict(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    int r;
    do
        r = poll(&p, 1, 30000);
    while (r < 0 && errno == EINTR);
    if (r == 0)
        return ETIMEDOUT;
    unsigned char verdict = 0;
    ssize_t n = recv(fd, &verdict, 1, 0);
    if (n != 1)
        return ECONNRESET;
    return verdict;
}

/* The air coding a voice link was set up with, for the phone to code by. */
static void record_voice(const char* phone_dir, uint16_t voice)
{
    char path[512], text[16];
    snprintf(path, sizeof path, "%s/sco_voice", phone_dir);
    int vfd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (vfd < 0)
        return;
    int len = snprintf(text, sizeof text, "0x%04x\n", voice);
    ssize_t w = write(vfd, text, (size_t)len);
    (void)w;
    close(vfd);
}

EXPORT int connect(int fd, const struct sockaddr* addr, socklen_t len)
{
    connect_fn real_connect = REAL(connect_fn, connect);
    struct bt_sock s;
    if (!lookup(fd, &s))
        return real_connect(fd, addr, len);
    if (!addr || addr->sa_family != AF_BLUETOOTH)
        return fail(EINVAL);

    bdaddr_t peer;
    char name[32];
    if (s.proto == BTPROTO_RFCOMM) {
        if (len < sizeof(struct sockaddr_rc))
            return fail(EINVAL);
        const struct sockaddr_rc* rc = (const struct sockaddr_rc*)addr;
        peer = rc->rc_bdaddr;
        s.channel = rc->rc_channel;
        snprintf(name, sizeof name, "rfcomm-%u", rc->rc_channel);
    } else if (s.proto == BTPROTO_L2CAP) {
        if (len < offsetof(struct sockaddr_l2, l2_cid))
            return fail(EINVAL);
        const struct sockaddr_l2* l2 = (const struct sockaddr_l2*)addr;
        peer = l2->l2_bdaddr;
        s.psm = btohs(l2->l2_psm);
        if (s.psm == 1)
            snprintf(name, sizeof name, "sdp");
        else
            snprintf(name, sizeof name, "l2cap-%u", s.psm);
    } else {
        if (len < sizeof(struct sockaddr_sco))
            return fail(EINVAL);
        peer = ((const struct sockaddr_sco*)addr)->sco_bdaddr;
        snprintf(name, sizeof name, "sco");
    }

    char addr_str[18], phone_dir[400], line[160];
    struct sockaddr_un sun;
    addr_text(&peer, addr_str);
    snprintf(phone_dir, sizeof phone_dir, "%s/%s", shim_dir(), addr_str);
    int target = s.proto == BTPROTO_RFCOMM ? s.channel : s.proto == BTPROTO_L2CAP ? s.psm : 0;

    char op[32];
    snprintf(op, sizeof op, "connect-%s", proto_name(s.proto));
    int err = take_fault(op);
    int rc = -1;
    struct stat st;
    if (!err && stat(phone_dir, &st) != 0)
        err = EHOSTDOWN;
    if (!err && s.proto == BTPROTO_SCO) {
        char path[512];
        snprintf(path, sizeof path, "%s/no_transparent", phone_dir);
        if (s.voice == BT_VOICE_TRANSPARENT && stat(path, &st) == 0)
            err = EOPNOTSUPP;
        record_voice(phone_dir, s.voice);
    }
    if (!err) {
        memset(&sun, 0, sizeof sun);
        sun.sun_family = AF_UNIX;
        if ((size_t)snprintf(sun.sun_path, sizeof sun.sun_path, "%s/%s", phone_dir, name) >= sizeof sun.sun_path) {
            err = ENAMETOOLONG;
        } else {
            rc = real_connect(fd, (struct sockaddr*)&sun, sizeof sun);
            if (rc != 0)
                err = (errno == ENOENT || errno == ECONNREFUSED) ? ECONNREFUSED : errno;
            else if (s.proto == BTPROTO_RFCOMM)
                err = rfcomm_verdict(fd);
        }
    }
    snprintf(line, sizeof line, "connect %s %s %d %s\n", proto_name(s.proto), addr_str, target,
             err ? strerrorname_np(err) ? strerrorname_np(err) : "error" : "0");
    journal(line);
    if (err)
        return fail(err);
    s.peer = peer;
    s.connected = 1;
    if (s.proto == BTPROTO_SCO)
        s.mtu = (uint16_t)read_mtu(phone_dir);
    if (lookup(fd, NULL))
        store(fd, &s);
    return 0;
}

EXPORT int bind(int fd, const struct sockaddr* addr, socklen_t len)
{
    bind_fn real_bind = REAL(bind_fn, bind);
    struct bt_sock s;
    if (!lookup(fd, &s))
        return real_bind(fd, addr, len);
    if (!addr || addr->sa_family != AF_BLUETOOTH || len < sizeof(sa_family_t) + sizeof(bdaddr_t))
        return fail(EINVAL);
    if (s.bound)
        return fail(EINVAL);
    if (s.proto == BTPROTO_L2CAP)
        s.local = ((const struct sockaddr_l2*)addr)->l2_bdaddr;
    else
        memcpy(&s.local, (const char*)addr + sizeof(sa_family_t), sizeof(bdaddr_t));
    s.bound = 1;
    store(fd, &s);
    return 0;
}

static int fill_name(const struct bt_sock* s, const bdaddr_t* ba, struct sockaddr* addr, socklen_t* len)
{
    union {
        struct sockaddr_rc rc;
        struct sockaddr_l2 l2;
        struct sockaddr_sco sco;
    } u;
    socklen_t size;
    memset(&u, 0, sizeof u);
    if (s->proto == BTPROTO_RFCOMM) {
        u.rc.rc_family = AF_BLUETOOTH;
        u.rc.rc_bdaddr = *ba;
        u.rc.rc_channel = s->channel;
        size = sizeof u.rc;
    } else if (s->proto == BTPROTO_L2CAP) {
        u.l2.l2_family = AF_BLUETOOTH;
        u.l2.l2_bdaddr = *ba;
        u.l2.l2_psm = htobs(s->psm);
        size = sizeof u.l2;
    } else {
        u.sco.sco_family = AF_BLUETOOTH;
        u.sco.sco_bdaddr = *ba;
        size = sizeof u.sco;
    }
    if (!addr || !len)
        return fail(EFAULT);
    memcpy(addr, &u, *len < size ? *len : size);
    *len = size;
    return 0;
}

EXPORT int getsockname(int fd, struct sockaddr* addr, socklen_t* len)
{
    struct bt_sock s;
    if (!lookup(fd, &s))
        return REAL(getname_fn, getsockname)(fd, addr, len);
    return fill_name(&s, &s.local, addr, len);
}

EXPORT int getpeername(int fd, struct sockaddr* addr, socklen_t* len)
{
    struct bt_sock s;
    if (!lookup(fd, &s))
        return REAL(getname_fn, getpeername)(fd, addr, len);
    if (!s.connected)
        return fail(ENOTCONN);
    return fill_name(&s, &s.peer, addr, len);
}

static int put_opt(void* val, socklen_t* len, const void* data, socklen_t size)
{
    if (!val || !len)
        return fail(EFAULT);
    socklen_t n = *len < size ? *len : size;
    memcpy(val, data, n);
    *len = n;
    return 0;
}

EXPORT int getsockopt(int fd, int level, int name, void* val, socklen_t* len)
{
    struct bt_sock s;
    if (level == SOL_SOCKET && name == SO_ERROR && lookup(fd, &s) && s.link_err) {
        int e = s.link_err;
        s.link_err = 0;
        store(fd, &s);
        return put_opt(val, len, &e, sizeof e);
    }
    if (!lookup(fd, &s) || level == SOL_SOCKET)
        return REAL(getsockopt_fn, getsockopt)(fd, level, name, val, len);
    int err;
    if (level == SOL_BLUETOOTH && name == BT_VOICE) {
        if (s.proto != BTPROTO_SCO)
            return fail(ENOPROTOOPT);
        if ((err = take_fault("getsockopt-bt_voice")))
            return fail(err);
        struct bt_voice v = {s.voice};
        return put_opt(val, len, &v, sizeof v);
    }
    if (level == SOL_BLUETOOTH && name == BT_DEFER_SETUP) {
        uint32_t on = (uint32_t)s.defer;
        return put_opt(val, len, &on, sizeof on);
    }
    if (level == SOL_SCO && name == SCO_OPTIONS) {
        if (s.proto != BTPROTO_SCO)
            return fail(ENOPROTOOPT);
        if (!s.connected)
            return fail(ENOTCONN);
        if ((err = take_fault("getsockopt-sco_options")))
            return fail(err);
        struct sco_options o = {s.mtu};
        return put_opt(val, len, &o, sizeof o);
    }
    if (level == SOL_SCO && name == SCO_CONNINFO) {
        if (!s.connected)
            return fail(ENOTCONN);
        struct sco_conninfo c;
        memset(&c, 0, sizeof c);
        c.hci_handle = 1;
        return put_opt(val, len, &c, sizeof c);
    }
    if (level == SOL_L2CAP && name == L2CAP_OPTIONS) {
        struct l2cap_options o;
        memset(&o, 0, sizeof o);
        o.omtu = o.imtu = 672;
        o.flush_to = 0xFFFF;
        return put_opt(val, len, &o, sizeof o);
    }
    if (level == SOL_BLUETOOTH || level == SOL_RFCOMM || level == SOL_L2CAP || level == SOL_SCO) {
        char zero[64];
        memset(zero, 0, sizeof zero);
        return put_opt(val, len, zero, len && *len < sizeof zero ? *len : sizeof zero);
    }
    return fail(ENOPROTOOPT);
}

EXPORT int setsockopt(int fd, int level, int name, const void* val, socklen_t len)
{
    struct bt_sock s;
    if (!lookup(fd, &s) || level == SOL_SOCKET)
        return REAL(setsockopt_fn, setsockopt)(fd, level, name, val, len);
    if (level == SOL_BLUETOOTH && name == BT_DEFER_SETUP) {
        /* The kernel allows it on a bound or listening socket only. */
        if (!val || len < sizeof(uint32_t))
            return fail(EINVAL);
        if (!s.bound && !s.listening)
            return fail(EINVAL);
        uint32_t on;
        memcpy(&on, val, sizeof on);
        s.defer = on != 0;
        if (lookup(fd, NULL))
            store(fd, &s);
        return 0;
    }
    if (level == SOL_BLUETOOTH && name == BT_VOICE) {
        if (s.proto != BTPROTO_SCO)
            return fail(ENOPROTOOPT);
        if (!val || len < sizeof(struct bt_voice))
            return fail(EINVAL);
        if (s.listening || (s.connected && !s.deferred) || s.failed)
            return fail(EINVAL);
        int err = take_fault("setsockopt-bt_voice");
        if (err)
            return fail(err);
        struct bt_voice v;
        memcpy(&v, val, sizeof v);
        /* The kernel takes CVSD and transparent air modes only. */
        if (v.setting != BT_VOICE_CVSD_16BIT && v.setting != BT_VOICE_TRANSPARENT)
            return fail(EINVAL);
        s.voice = v.setting;
        if (lookup(fd, NULL))
            store(fd, &s);
        return 0;
    }
    if (level == SOL_BLUETOOTH || level == SOL_RFCOMM || level == SOL_L2CAP || level == SOL_SCO)
        return 0;
    return fail(ENOPROTOOPT);
}

/* ---- listening SCO sockets ---- */

EXPORT int listen(int fd, int backlog)
{
    struct bt_sock s;
    if (!lookup(fd, &s))
        return REAL(listen_fn, listen)(fd, backlog);
    if (s.proto != BTPROTO_SCO)
        return fail(EOPNOTSUPP);
    if (!s.bound)
        return fail(EBADFD);
    if (s.listening)
        return 0;
    char local[18], folder[400];
    struct sockaddr_un sun;
    addr_text(&s.local, local);
    snprintf(folder, sizeof folder, "%s/%s", shim_dir(), local);
    mkdir(folder, 0755);
    memset(&sun, 0, sizeof sun);
    sun.sun_family = AF_UNIX;
    if ((size_t)snprintf(sun.sun_path, sizeof sun.sun_path, "%s/sco", folder) >= sizeof sun.sun_path)
        return fail(ENAMETOOLONG);
    unlink(sun.sun_path);
    if (REAL(bind_fn, bind)(fd, (struct sockaddr*)&sun, sizeof sun) != 0)
        return -1;
    if (REAL(listen_fn, listen)(fd, backlog) != 0)
        return -1;
    s.listening = 1;
    if (lookup(fd, NULL))
        store(fd, &s);
    return 0;
}

static void send_verdict(int fd, int err)
{
    unsigned char verdict = (unsigned char)err;
    ssize_t n = send(fd, &verdict, 1, MSG_NOSIGNAL);
    (void)n;
}

EXPORT int accept4(int fd, struct sockaddr* addr, socklen_t* len, int flags)
{
    struct bt_sock s;
    if (!lookup(fd, &s) || !s.listening)
        return REAL(accept4_fn, accept4)(fd, addr, len, flags);
    int nfd;
    char who[32];
    for (;;) {
        nfd = REAL(accept4_fn, accept4)(fd, NULL, NULL, flags | SOCK_CLOEXEC);
        if (nfd < 0)
            return -1;
        /* The phone names itself first; one that does not is no link. */
        struct pollfd p = {nfd, POLLIN, 0};
        ssize_t n = poll(&p, 1, 2000) == 1 ? REAL(recv_fn, recv)(nfd, who, sizeof who - 1, 0) : -1;
        if (n == 17) {
            who[n] = '\0';
            break;
        }
        close(nfd);
    }
    if (!(flags & SOCK_CLOEXEC))
        fcntl(nfd, F_SETFD, 0);
    struct stat st;
    if (nfd >= MAX_FDS || fstat(nfd, &st) != 0) {
        close(nfd);
        return fail(EMFILE);
    }
    struct bt_sock a;
    memset(&a, 0, sizeof a);
    a.used = 1;
    a.dev = st.st_dev;
    a.ino = st.st_ino;
    a.proto = BTPROTO_SCO;
    a.bound = 1;
    a.connected = 1;
    a.local = s.local;
    unsigned b[6];
    if (sscanf(who, "%2x:%2x:%2x:%2x:%2x:%2x", &b[5], &b[4], &b[3], &b[2], &b[1], &b[0]) != 6) {
        close(nfd);
        return fail(ECONNABORTED);
    }
    for (int i = 0; i < 6; i++)
        a.peer.b[i] = (uint8_t)b[i];
    a.voice = s.voice;
    char phone_dir[400], line[80];
    snprintf(phone_dir, sizeof phone_dir, "%s/%s", shim_dir(), who);
    a.mtu = (uint16_t)read_mtu(phone_dir);
    a.deferred = s.defer;
    store(nfd, &a);
    if (a.deferred)
        __atomic_add_fetch(&deferred_count, 1, __ATOMIC_SEQ_CST);
    else
        send_verdict(nfd, 0);
    snprintf(line, sizeof line, "accept sco %s%s\n", who, a.deferred ? " deferred" : "");
    journal(line);
    if (addr && len)
        fill_name(&a, &a.peer, addr, len);
    return nfd;
}

EXPORT int accept(int fd, struct sockaddr* addr, socklen_t* len)
{
    return accept4(fd, addr, len, 0);
}

/* The first read of a deferred socket completes the link and returns 0. */
static int complete_deferred(int fd)
{
    struct bt_sock s;
    if (__atomic_load_n(&deferred_count, __ATOMIC_SEQ_CST) == 0 || !lookup(fd, &s) || !s.deferred)
        return 0;
    s.deferred = 0;
    store(fd, &s);
    __atomic_sub_fetch(&deferred_count, 1, __ATOMIC_SEQ_CST);
    /* The link is set up with what the accepting side chose by now. */
    char addr_str[18], phone_dir[400];
    addr_text(&s.peer, addr_str);
    snprintf(phone_dir, sizeof phone_dir, "%s/%s", shim_dir(), addr_str);
    record_voice(phone_dir, s.voice);
    char path[512];
    struct stat st;
    snprintf(path, sizeof path, "%s/no_transparent", phone_dir);
    if (s.voice == BT_VOICE_TRANSPARENT && stat(path, &st) == 0) {
        /* The controller fails the synchronous link: the phone sees it
         * refused, the socket is closed with the error. */
        char line[80];
        send_verdict(fd, EOPNOTSUPP);
        shutdown(fd, SHUT_RDWR);
        s.connected = 0;
        s.failed = 1;
        s.link_err = EOPNOTSUPP;
        store(fd, &s);
        __atomic_add_fetch(&failed_count, 1, __ATOMIC_SEQ_CST);
        snprintf(line, sizeof line, "accept sco %s EOPNOTSUPP\n", addr_str);
        journal(line);
        return 1;
    }
    send_verdict(fd, 0);
    return 1;
}

/* A read of a link that failed after its setup: its error once, then ENOTCONN. */
static int failed_read(int fd)
{
    struct bt_sock s;
    if (__atomic_load_n(&failed_count, __ATOMIC_SEQ_CST) == 0 || !lookup(fd, &s) || !s.failed)
        return 0;
    errno = s.link_err ? s.link_err : ENOTCONN;
    if (s.link_err) {
        s.link_err = 0;
        store(fd, &s);
    }
    return 1;
}

EXPORT ssize_t read(int fd, void* buf, size_t n)
{
    if (complete_deferred(fd))
        return 0;
    if (failed_read(fd))
        return -1;
    return CACHED(read_fn, read)(fd, buf, n);
}

EXPORT ssize_t recv(int fd, void* buf, size_t n, int flags)
{
    if (complete_deferred(fd))
        return 0;
    if (failed_read(fd))
        return -1;
    return CACHED(recv_fn, recv)(fd, buf, n, flags);
}

EXPORT ssize_t recvfrom(int fd, void* buf, size_t n, int flags, struct sockaddr* from, socklen_t* len)
{
    if (complete_deferred(fd))
        return 0;
    if (failed_read(fd))
        return -1;
    return CACHED(recvfrom_fn, recvfrom)(fd, buf, n, flags, from, len);
}

EXPORT ssize_t recvmsg(int fd, struct msghdr* msg, int flags)
{
    if (complete_deferred(fd))
        return 0;
    if (failed_read(fd))
        return -1;
    return CACHED(recvmsg_fn, recvmsg)(fd, msg, flags);
}
