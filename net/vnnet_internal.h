// Internal header (not installed): helpers of the socket and name functions that the
// library's socket classes and the tests reach directly. Callable from any thread.
#pragma once

#include <stddef.h>

struct addrinfo;
struct vnnet_addrlist;

namespace vn {
namespace detail {

// The pending error of a socket (SO_ERROR), which reading also clears: 0 when there is
// none, else an errno number (ECONNREFUSED for a refused connect). When the query itself
// fails, its errno. This is how the outcome of a non-blocking connect is learnt on Linux:
// a failed connect shows up as an error report (often together with writability).
int socket_pending_error(int fd);
// The one reader of partial input for the socket classes: takes up to len bytes that are
// already waiting on fd, never blocking whatever the descriptor's mode; with bPeek they
// stay queued. The count (> 0); 0 when nothing waits (or for -1, a null buffer, len 0);
// -1 at the end of the stream (also an empty datagram) or on an error (errno set).
int socket_read_waiting(int fd, void* buf, size_t len, bool bPeek = false);
// Switches fd to non-blocking mode (a no-op when it is already). false when fcntl fails.
bool socket_set_nonblocking(int fd);
// A non-blocking TCP socket with a connect to host:port started: an IPv6 address text gets
// an IPv6 socket, anything else goes the designed IPv4 way (vnsocket_create and
// vnsocket_connect, which looks a name up). The descriptor, or -1 (nothing left open).
int socket_open_connect(const char* host, unsigned short port);

// vnnet_getlocalip's choice among addrs (network order, in the host's order) with the
// stored WAN address wanip (0: none). See vnnet_getlocalip.
unsigned int choose_localip(const unsigned int* addrs, unsigned int count, unsigned int wanip,
                            bool bNotWan);

// Up to max IPv4 addresses of the host's interfaces that are up, in the kernel's order;
// *count receives how many. false when the interface list cannot be read.
bool local_ipv4_addresses(unsigned int* addrs, unsigned int max, unsigned int* count);

// The first IPv4 address of a resolver result list, 0 when it holds none.
unsigned int first_ipv4(const struct addrinfo* list);

// Copies the IPv4 addresses of a resolver result list, in its order, into out (at most
// VNNET_ADDRLIST_MAX; out->count is set). Entries of other families are skipped.
void copy_ipv4_list(const struct addrinfo* list, vnnet_addrlist* out);

// The WAN address stored with vnnet_setwanip (0: none).
unsigned int stored_wanip();

}  // namespace detail
}  // namespace vn
