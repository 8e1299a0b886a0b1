// Socket and name functions over the BSD socket interface (Linux). Stateless but for the
// stored WAN address; callable from any thread.
#include "net/vnnet.h"
#include "net/vnnet_internal.h"

#include <arpa/inet.h>
#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <climits>

#include "base/vnlog.h"

namespace {

// Written once by the application, read by any thread: relaxed is enough, the value is
// a hint and carries no other data with it.
std::atomic<unsigned int> g_wanip{0};

// Interface addresses vnnet_getlocalip looks at.
constexpr unsigned int kMaxLocalAddrs = 64;

const char kInvalidText[] = "255.255.255.255";

// Formats ip into buf (at least INET_ADDRSTRLEN bytes).
const char* format_ip(unsigned int ip, char* buf) {
    struct in_addr a;
    a.s_addr = ip;
    if (inet_ntop(AF_INET, &a, buf, INET_ADDRSTRLEN) == nullptr) buf[0] = '\0';
    return buf;
}

// A literal that vnnet_gethostbyname may take without a lookup.
bool is_usable_literal(unsigned int ip) {
    return ip != 0 && ip != 0xFFFFFFFFu;
}

// Looks up the IPv4 addresses of host. Asking for one socket type and protocol makes the
// resolver list each address once (it would otherwise repeat it per socket type), and
// asking for IPv4 alone spares an AAAA query whose answers would be dropped anyway.
int resolve_ipv4(const char* host, struct addrinfo** list) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    *list = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, list);
    if (rc != 0 && *list != nullptr) {
        freeaddrinfo(*list);
        *list = nullptr;
    }
    return rc;
}

void fill_sockaddr(struct sockaddr_in* sa, unsigned int ip, unsigned short port) {
    memset(sa, 0, sizeof(*sa));
    sa->sin_family = AF_INET;
    sa->sin_port = htons(port);
    sa->sin_addr.s_addr = ip;
}

bool set_int_option(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof(value)) == 0;
}

bool get_int_option(int fd, int level, int name, int* value) {
    int v = 0;
    socklen_t len = sizeof(v);
    if (getsockopt(fd, level, name, &v, &len) != 0) return false;
    if (value != nullptr) *value = v;
    return true;
}

void set_timeout_option(int fd, int name, unsigned int ms) {
    struct timeval tv;
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    setsockopt(fd, SOL_SOCKET, name, &tv, sizeof(tv));
}

typedef int (*name_query)(int, struct sockaddr*, socklen_t*);

// The IPv4 address an IPv6 one maps (::ffff:a.b.c.d), when it is one.
bool mapped_ipv4(const struct in6_addr& a, unsigned int* ip) {
    if (!IN6_IS_ADDR_V4MAPPED(&a)) return false;
    memcpy(ip, a.s6_addr + 12, 4);
    return true;
}

bool query_name(name_query query, int fd, unsigned int* ip, unsigned short* port) {
    struct sockaddr_storage ss;
    socklen_t len = sizeof(ss);
    memset(&ss, 0, sizeof(ss));
    if (query(fd, reinterpret_cast<struct sockaddr*>(&ss), &len) != 0) return false;
    unsigned int v4 = 0;
    unsigned short p = 0;
    if (ss.ss_family == AF_INET) {
        const struct sockaddr_in* sa = reinterpret_cast<const struct sockaddr_in*>(&ss);
        v4 = sa->sin_addr.s_addr;
        p = ntohs(sa->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        // A dual-stack socket's IPv4 peer is an IPv4 peer to every IPv4 caller.
        const struct sockaddr_in6* sa = reinterpret_cast<const struct sockaddr_in6*>(&ss);
        if (!mapped_ipv4(sa->sin6_addr, &v4)) return false;
        p = ntohs(sa->sin6_port);
    } else {
        return false;
    }
    if (ip != nullptr) *ip = v4;
    if (port != nullptr) *port = p;
    return true;
}

// addr:port as a socket address of addr's family; false for a text that is no address.
bool parse_sockaddr(const char* addr, unsigned short port, struct sockaddr_storage* ss,
                    socklen_t* len) {
    memset(ss, 0, sizeof(*ss));
    if (addr == nullptr) return false;
    struct sockaddr_in* v4 = reinterpret_cast<struct sockaddr_in*>(ss);
    if (inet_pton(AF_INET, addr, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        *len = sizeof(*v4);
        return true;
    }
    struct sockaddr_in6* v6 = reinterpret_cast<struct sockaddr_in6*>(ss);
    if (inet_pton(AF_INET6, addr, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        *len = sizeof(*v6);
        return true;
    }
    return false;
}

// The text of a socket address (mapped IPv4 written dotted) and its port.
bool format_sockaddr(const struct sockaddr_storage& ss, char* buf, unsigned int size,
                     unsigned short* port) {
    char text[INET6_ADDRSTRLEN];
    unsigned short p = 0;
    if (ss.ss_family == AF_INET) {
        const struct sockaddr_in* sa = reinterpret_cast<const struct sockaddr_in*>(&ss);
        if (inet_ntop(AF_INET, &sa->sin_addr, text, sizeof(text)) == nullptr) return false;
        p = ntohs(sa->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        const struct sockaddr_in6* sa = reinterpret_cast<const struct sockaddr_in6*>(&ss);
        unsigned int v4 = 0;
        if (mapped_ipv4(sa->sin6_addr, &v4)) {
            format_ip(v4, text);
        } else if (inet_ntop(AF_INET6, &sa->sin6_addr, text, sizeof(text)) == nullptr) {
            return false;
        }
        p = ntohs(sa->sin6_port);
    } else {
        return false;
    }
    if (buf == nullptr || strlen(text) + 1 > size) return false;
    strcpy(buf, text);
    if (port != nullptr) *port = p;
    return true;
}

bool query_addr(name_query query, int fd, char* buf, unsigned int size, unsigned short* port) {
    struct sockaddr_storage ss;
    socklen_t len = sizeof(ss);
    memset(&ss, 0, sizeof(ss));
    if (query(fd, reinterpret_cast<struct sockaddr*>(&ss), &len) != 0) return false;
    return format_sockaddr(ss, buf, size, port);
}

// The kernel takes lengths as size_t but reports results as ssize_t, and callers get an
// int: one call moves at most INT_MAX bytes.
size_t clamp_len(unsigned int len) {
    return len > static_cast<unsigned int>(INT_MAX) ? static_cast<size_t>(INT_MAX) : len;
}

}  // namespace

namespace vn {
namespace detail {

int socket_pending_error(int fd) {
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

int socket_read_waiting(int fd, void* buf, size_t len, bool bPeek) {
    if (fd == -1 || buf == nullptr || len == 0) return 0;
    if (len > INT_MAX) len = INT_MAX;
    ssize_t n;
    do {
        // MSG_DONTWAIT makes this one read non-blocking whatever the descriptor's mode.
        n = recv(fd, buf, len, MSG_DONTWAIT | (bPeek ? MSG_PEEK : 0));
    } while (n < 0 && errno == EINTR);
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return -1;
}

int socket_open_connect(const char* host, unsigned short port) {
    bool v6 = vnnet_addrfamily(host) == 6;
    int fd = v6 ? vnsocket_create_for(host, true) : vnsocket_create(true, 0);
    if (fd == -1) return -1;
    if (!(v6 ? vnsocket_connect_addr(fd, host, port) : vnsocket_connect(fd, host, port))) {
        vnsocket_close(fd);
        return -1;
    }
    return fd;
}

bool socket_set_nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    return (flags & O_NONBLOCK) != 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

unsigned int choose_localip(const unsigned int* addrs, unsigned int count, unsigned int wanip,
                            bool bNotWan) {
    unsigned int provisional = 0;
    bool found = false;
    char text[INET_ADDRSTRLEN];
    for (unsigned int i = 0; i < count; ++i) {
        unsigned int a = addrs[i];
        format_ip(a, text);
        // "0" (this network), "169" (link-local, no DHCP answer) and "127" (loopback) are
        // no use to a peer.
        if (text[0] == '0' || strncmp(text, "169", 3) == 0 || strncmp(text, "127", 3) == 0) {
            continue;
        }
        if (!found) {
            provisional = a;
            found = true;
        }
        if (wanip != 0) {
            if (!bNotWan && a == wanip) return a;
            if (bNotWan && a != wanip) return a;
        }
    }
    if (!found && count > 0) return addrs[0];
    return provisional;
}

bool local_ipv4_addresses(unsigned int* addrs, unsigned int max, unsigned int* count) {
    *count = 0;
    // The interface list, not a lookup of the host's own name: on Linux that name usually
    // resolves through /etc/hosts to a loopback address only.
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    for (struct ifaddrs* it = list; it != nullptr && *count < max; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
        if ((it->ifa_flags & IFF_UP) == 0) continue;
        const struct sockaddr_in* sa = reinterpret_cast<const struct sockaddr_in*>(it->ifa_addr);
        addrs[(*count)++] = sa->sin_addr.s_addr;
    }
    freeifaddrs(list);
    return true;
}

unsigned int first_ipv4(const struct addrinfo* list) {
    for (const struct addrinfo* it = list; it != nullptr; it = it->ai_next) {
        if (it->ai_family == AF_INET && it->ai_addr != nullptr &&
            it->ai_addrlen == sizeof(struct sockaddr_in)) {
            return reinterpret_cast<const struct sockaddr_in*>(it->ai_addr)->sin_addr.s_addr;
        }
    }
    return 0;
}

void copy_ipv4_list(const struct addrinfo* list, vnnet_addrlist* out) {
    out->count = 0;
    for (const struct addrinfo* it = list; it != nullptr && out->count < VNNET_ADDRLIST_MAX;
         it = it->ai_next) {
        if (it->ai_family != AF_INET || it->ai_addr == nullptr ||
            it->ai_addrlen != sizeof(struct sockaddr_in)) {
            continue;
        }
        out->addrs[out->count++] =
            reinterpret_cast<const struct sockaddr_in*>(it->ai_addr)->sin_addr.s_addr;
    }
}

unsigned int stored_wanip() {
    return g_wanip.load(std::memory_order_relaxed);
}

}  // namespace detail
}  // namespace vn

// ---- Start-up, names and addresses ----

void vnnet_init() {
    // Linux sockets need no start-up, and nothing here can fail. SIGPIPE is not touched
    // process-wide either: every send passes MSG_NOSIGNAL instead.
}

void vnnet_setwanip(unsigned int ip) {
    g_wanip.store(ip, std::memory_order_relaxed);
}

unsigned int vnnet_getlocalip(bool bNotWan) {
    unsigned int addrs[kMaxLocalAddrs];
    unsigned int count = 0;
    if (!vn::detail::local_ipv4_addresses(addrs, kMaxLocalAddrs, &count)) return 0;
    return vn::detail::choose_localip(addrs, count, vn::detail::stored_wanip(), bNotWan);
}

unsigned int vnnet_gethostbyname(const char* host, bool* pbDone) {
    if (pbDone != nullptr) *pbDone = true;
    if (host == nullptr) return 0;
    unsigned int ip = vnnet_strtoip(host);
    if (is_usable_literal(ip)) return ip;

    struct addrinfo* list = nullptr;
    unsigned int result = 0;
    if (resolve_ipv4(host, &list) == 0) {
        result = vn::detail::first_ipv4(list);
        freeaddrinfo(list);
    }
    char text[INET_ADDRSTRLEN];
    syslog(VN_LOG_DEBUG, "vnnet", __LINE__, "vnnet_gethostbyname  %s", format_ip(result, text));
    return result;
}

bool vnnet_gethostbyname_ex(const char* host, vnnet_addrlist* list, bool* pbDone) {
    if (list == nullptr) return false;
    unsigned int ip = vnnet_strtoip(host);
    if (is_usable_literal(ip)) {
        list->count = 1;
        list->addrs[0] = ip;
        return true;
    }
    list->count = 0;
    if (pbDone != nullptr) *pbDone = true;
    if (host == nullptr) return false;

    struct addrinfo* found = nullptr;
    if (resolve_ipv4(host, &found) != 0) return false;
    vn::detail::copy_ipv4_list(found, list);
    freeaddrinfo(found);
    return true;
}

const char* vnnet_iptostr(unsigned int ip) {
    static thread_local char text[INET_ADDRSTRLEN];
    return format_ip(ip, text);
}

unsigned int vnnet_strtoip(const char* text) {
    struct in_addr a;
    if (text == nullptr || inet_pton(AF_INET, text, &a) != 1) return 0xFFFFFFFFu;
    return a.s_addr;
}

unsigned short vnnet_hton16(unsigned short v) {
    return htons(v);
}

unsigned short vnnet_ntoh16(unsigned short v) {
    return ntohs(v);
}

unsigned int vnnet_hton32(unsigned int v) {
    return htonl(v);
}

unsigned int vnnet_ntoh32(unsigned int v) {
    return ntohl(v);
}

unsigned long long vnnet_hton64(unsigned long long v) {
    return htobe64(v);
}

unsigned long long vnnet_ntoh64(unsigned long long v) {
    return be64toh(v);
}

// ---- Descriptor operations ----

int vnsocket_create(bool bTcp, int /*reserved*/) {
    // Non-blocking from birth (no window in which a blocking call could slip through), and
    // close-on-exec so that a child process never inherits the library's connections.
    int fd = socket(AF_INET, (bTcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC,
                    bTcp ? IPPROTO_TCP : 0);
    if (fd < 0) return -1;
    if (!bTcp) set_int_option(fd, SOL_SOCKET, SO_BROADCAST, 1);
    return fd;
}

int vnsocket_create_block(bool bTcp, unsigned int sendTimeoutMs, unsigned int recvTimeoutMs) {
    int fd =
        socket(AF_INET, (bTcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, bTcp ? IPPROTO_TCP : 0);
    if (fd < 0) return -1;
    set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    if (sendTimeoutMs != 0) set_timeout_option(fd, SO_SNDTIMEO, sendTimeoutMs);
    if (recvTimeoutMs != 0) set_timeout_option(fd, SO_RCVTIMEO, recvTimeoutMs);
    if (!bTcp) set_int_option(fd, SOL_SOCKET, SO_BROADCAST, 1);
    return fd;
}

bool vnsocket_close(int fd) {
    if (fd == -1) return false;
    // Linux releases the descriptor even when close reports EINTR; retrying could close a
    // descriptor that another thread has opened in the meantime.
    return close(fd) == 0 || errno == EINTR;
}

bool vnsocket_isvalid(int fd) {
    return fd != -1;
}

bool vnsocket_setsendbufsize(int fd, unsigned int size) {
    return set_int_option(fd, SOL_SOCKET, SO_SNDBUF, static_cast<int>(size));
}

bool vnsocket_setrecvbufsize(int fd, unsigned int size) {
    return set_int_option(fd, SOL_SOCKET, SO_RCVBUF, static_cast<int>(size));
}

bool vnsocket_getsendbufsize(int fd, int* size) {
    return get_int_option(fd, SOL_SOCKET, SO_SNDBUF, size);
}

bool vnsocket_getrecvbufsize(int fd, int* size) {
    return get_int_option(fd, SOL_SOCKET, SO_RCVBUF, size);
}

bool vnsocket_setnodelay(int fd, bool on) {
    return set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0);
}

bool vnsocket_setmulticastttl(int /*fd*/, int /*ttl*/) {
    return false;
}

bool vnsocket_joingroup(int /*fd*/, const char* /*group*/) {
    return true;
}

bool vnsocket_connect(int fd, const char* host, unsigned short port) {
    unsigned int ip = vnnet_gethostbyname(host, nullptr);
    if (ip == 0) {
        syslog(VN_LOG_ERROR, "vnnet", __LINE__, "vnsocket_connect dns[%s] fail",
               host != nullptr ? host : "");
        return false;
    }
    char text[INET_ADDRSTRLEN];
    format_ip(ip, text);
    if (strcmp(text, host) != 0) {
        syslog(VN_LOG_NOTICE, "vnnet", __LINE__, "vnsocket_connect dns[%s->%s] ", host, text);
    }
    struct sockaddr_in sa;
    fill_sockaddr(&sa, ip, port);
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa)) == 0) return true;
    // EINPROGRESS: a non-blocking connect has started; its outcome is learnt from the
    // event pump. EINTR: the kernel carries on connecting in the background, so this is in
    // progress too (calling connect again would only give EALREADY).
    return errno == EINPROGRESS || errno == EINTR;
}

bool vnsocket_bind(int fd, unsigned int ip, unsigned short port) {
    struct sockaddr_in sa;
    fill_sockaddr(&sa, ip, port);
    return bind(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa)) >= 0;
}

bool vnsocket_listen(int fd, int backlog) {
    return listen(fd, backlog) >= 0;
}

int vnsocket_accept(int fd) {
    // A Windows socket inherits its listener's non-blocking mode; a Linux one does not, so
    // the mode is carried over here, or a non-blocking server would get blocking streams.
    int flags = fcntl(fd, F_GETFL);
    int extra = SOCK_CLOEXEC | ((flags >= 0 && (flags & O_NONBLOCK)) ? SOCK_NONBLOCK : 0);
    int conn;
    do {
        conn = accept4(fd, nullptr, nullptr, extra);
    } while (conn < 0 && errno == EINTR);
    return conn < 0 ? -1 : conn;
}

int vnsocket_send(int fd, const void* buf, unsigned int len) {
    if (buf == nullptr || len == 0 || fd == -1) return 0;
    ssize_t n;
    do {
        // MSG_NOSIGNAL: a peer that has gone away gives EPIPE instead of killing the
        // process with SIGPIPE.
        n = send(fd, buf, clamp_len(len), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

int vnsocket_recv(int fd, void* buf, unsigned int len) {
    if (buf == nullptr || len == 0 || fd == -1) return 0;
    ssize_t n;
    do {
        n = recv(fd, buf, clamp_len(len), 0);
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

int vnsocket_getunreaddatalen(int fd) {
    if (fd == -1) return 0;
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0) return 0;
    return n;
}

bool vnsocket_getpeername(int fd, unsigned int* ip, unsigned short* port) {
    return query_name(getpeername, fd, ip, port);
}

bool vnsocket_getsockname(int fd, unsigned int* ip, unsigned short* port) {
    return query_name(getsockname, fd, ip, port);
}

int vnsocket_sendto(int fd, const char* buf, int len, const char* ip, unsigned short port) {
    if (fd == -1 || len <= 0 || buf == nullptr || ip == nullptr || port == 0) return 0;
    unsigned int addr = vnnet_strtoip(ip);
    // Unparsable text reads as all ones, which is also the broadcast address: refuse it
    // rather than broadcast a datagram meant for one peer.
    if (addr == 0xFFFFFFFFu && strcmp(ip, kInvalidText) != 0) {
        errno = EINVAL;
        return -1;
    }
    struct sockaddr_in sa;
    fill_sockaddr(&sa, addr, port);
    ssize_t n;
    do {
        n = sendto(fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL,
                   reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa));
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

int vnsocket_recvfrom(int fd, char* buf, int len, unsigned int* ip, unsigned short* port) {
    if (fd == -1 || buf == nullptr || len <= 0) return 0;
    struct sockaddr_in sa;
    socklen_t salen = sizeof(sa);
    memset(&sa, 0, sizeof(sa));
    ssize_t n;
    do {
        n = recvfrom(fd, buf, static_cast<size_t>(len), 0, reinterpret_cast<struct sockaddr*>(&sa),
                     &salen);
    } while (n < 0 && errno == EINTR);
    if (n > 0 && sa.sin_family == AF_INET) {
        if (ip != nullptr) *ip = sa.sin_addr.s_addr;
        if (port != nullptr) *port = ntohs(sa.sin_port);
    }
    return static_cast<int>(n);
}

// ---- addresses of either family ----

int vnnet_addrfamily(const char* addr) {
    struct sockaddr_storage ss;
    socklen_t len = 0;
    if (!parse_sockaddr(addr, 0, &ss, &len)) return 0;
    return ss.ss_family == AF_INET ? 4 : 6;
}

bool vnnet_isloopback(const char* addr) {
    struct sockaddr_storage ss;
    socklen_t len = 0;
    if (!parse_sockaddr(addr, 0, &ss, &len)) return false;
    unsigned int v4 = 0;
    if (ss.ss_family == AF_INET) {
        v4 = reinterpret_cast<const struct sockaddr_in*>(&ss)->sin_addr.s_addr;
    } else {
        const struct in6_addr& a = reinterpret_cast<const struct sockaddr_in6*>(&ss)->sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&a)) return true;
        if (!mapped_ipv4(a, &v4)) return false;
    }
    return (ntohl(v4) >> 24) == 127;
}

int vnsocket_create_for(const char* addr, bool bTcp) {
    int family = vnnet_addrfamily(addr);
    if (family == 0) return -1;
    int fd = socket(family == 4 ? AF_INET : AF_INET6,
                    (bTcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC,
                    bTcp ? IPPROTO_TCP : 0);
    if (fd < 0) return -1;
    if (!bTcp && family == 4) set_int_option(fd, SOL_SOCKET, SO_BROADCAST, 1);
    return fd;
}

bool vnsocket_connect_addr(int fd, const char* addr, unsigned short port) {
    struct sockaddr_storage ss;
    socklen_t len = 0;
    if (fd == -1 || !parse_sockaddr(addr, port, &ss, &len)) return false;
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&ss), len) == 0) return true;
    return errno == EINPROGRESS || errno == EINTR;  // in progress, as vnsocket_connect
}

bool vnsocket_bind_addr(int fd, const char* addr, unsigned short port) {
    if (fd == -1) return false;
    struct sockaddr_storage ss;
    socklen_t len = sizeof(ss);
    memset(&ss, 0, sizeof(ss));
    if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&ss), &len) != 0) return false;
    int family = ss.ss_family;
    if (addr == nullptr || *addr == '\0') {
        memset(&ss, 0, sizeof(ss));
        ss.ss_family = static_cast<sa_family_t>(family);
        if (family == AF_INET6) {
            // Every address of both families, whatever the system's default.
            set_int_option(fd, IPPROTO_IPV6, IPV6_V6ONLY, 0);
            reinterpret_cast<struct sockaddr_in6*>(&ss)->sin6_port = htons(port);
            len = sizeof(struct sockaddr_in6);
        } else {
            reinterpret_cast<struct sockaddr_in*>(&ss)->sin_port = htons(port);
            len = sizeof(struct sockaddr_in);
        }
    } else {
        if (!parse_sockaddr(addr, port, &ss, &len) || ss.ss_family != family) return false;
        if (family == AF_INET6) {
            // One IPv6 address takes its own family only; an IPv4-mapped one is an IPv4
            // address, which an IPv6-only socket could not bind.
            const struct in6_addr& a = reinterpret_cast<const struct sockaddr_in6*>(&ss)->sin6_addr;
            set_int_option(fd, IPPROTO_IPV6, IPV6_V6ONLY, IN6_IS_ADDR_V4MAPPED(&a) ? 0 : 1);
        }
    }
    return bind(fd, reinterpret_cast<struct sockaddr*>(&ss), len) == 0;
}

bool vnsocket_getpeeraddr(int fd, char* buf, unsigned int size, unsigned short* port) {
    return query_addr(getpeername, fd, buf, size, port);
}

bool vnsocket_getsockaddr(int fd, char* buf, unsigned int size, unsigned short* port) {
    return query_addr(getsockname, fd, buf, size, port);
}
