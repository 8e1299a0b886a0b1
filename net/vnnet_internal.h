// Internal header (not installed): helpers of the socket and name functions that the
// library's socket classes and the tests reach directly. Callable from any thread.
#pragma once

struct addrinfo;
struct vnnet_addrlist;

namespace vn {
namespace detail {

// The pending error of a socket (SO_ERROR), which reading also clears: 0 when there is
// none, else an errno number (ECONNREFUSED for a refused connect). When the query itself
// fails, its errno. This is how the outcome of a non-blocking connect is learnt on Linux:
// a failed connect shows up as an error report (often together with writability).
int socket_pending_error(int fd);

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
