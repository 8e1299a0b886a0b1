// Public header (part of vnbase.h).
// The socket and name functions every socket object of the library is built on: IPv4
// only, sockets non-blocking by default, an in-progress connect counts as success.
// IPv4 addresses are unsigned 32-bit values in network byte order (0: none or failed);
// ports are unsigned 16-bit values in host byte order; descriptors are ints, -1 for none.
//
// Thread safety: every function may be called from any thread; none holds a lock. Name
// resolution is synchronous and thread-safe; vnnet_iptostr returns per-thread storage.
#pragma once

#include "common/vnexport.h"

// Most addresses vnnet_gethostbyname_ex reports.
enum { VNNET_ADDRLIST_MAX = 10 };

// Filled by vnnet_gethostbyname_ex. The caller owns it and zeroes it before the call.
struct vnnet_addrlist {
    unsigned int count;                      // valid entries in addrs
    unsigned int addrs[VNNET_ADDRLIST_MAX];  // IPv4, network byte order, resolver's order
};

// ---- Start-up, names and addresses ----

// Starts the platform's socket library where one needs starting (Linux needs none).
VN_EXPORT void vnnet_init();
// Stores the address the outside world sees this host by, for vnnet_getlocalip.
VN_EXPORT void vnnet_setwanip(unsigned int ip);
// Chooses this host's address among its interfaces' IPv4 addresses, in the kernel's order:
// addresses whose dotted text starts with "0", "169" or "127" are skipped; with a WAN
// address stored, the first other address equal to it (bNotWan false) or different from
// it (bNotWan true) wins; else the first address not skipped; else the first address of
// all. 0 when the host has no IPv4 address or the list cannot be read.
VN_EXPORT unsigned int vnnet_getlocalip(bool bNotWan);
// Resolves host to its first IPv4 address (resolver's order); dotted-decimal text is taken
// as it stands without a lookup (except 0.0.0.0 and 255.255.255.255, which go to the
// resolver). *pbDone (may be null) is set to true first of all. 0 on failure or null host.
VN_EXPORT unsigned int vnnet_gethostbyname(const char* host, bool* pbDone);
// Resolves host to all of its IPv4 addresses, at most VNNET_ADDRLIST_MAX, in the
// resolver's order. Dotted-decimal text gives one entry at once and leaves *pbDone alone;
// otherwise count is set to 0 and *pbDone (may be null) to true before the lookup. false
// for a null host or when the lookup fails.
VN_EXPORT bool vnnet_gethostbyname_ex(const char* host, vnnet_addrlist* list, bool* pbDone);
// Dotted-decimal text of ip, in per-thread storage that the thread's next call overwrites.
VN_EXPORT const char* vnnet_iptostr(unsigned int ip);
// Parses strict dotted-decimal text (no name lookup); unparsable or null text gives
// 0xFFFFFFFF, the same value as the text 255.255.255.255.
VN_EXPORT unsigned int vnnet_strtoip(const char* text);
VN_EXPORT unsigned short vnnet_hton16(unsigned short v);
VN_EXPORT unsigned short vnnet_ntoh16(unsigned short v);
VN_EXPORT unsigned int vnnet_hton32(unsigned int v);
VN_EXPORT unsigned int vnnet_ntoh32(unsigned int v);
// Host to network order and back for 64-bit values (one and the same byte swap on this
// little-endian host).
VN_EXPORT unsigned long long vnnet_hton64(unsigned long long v);
VN_EXPORT unsigned long long vnnet_ntoh64(unsigned long long v);

// ---- Descriptor operations (descriptor first) ----

// New IPv4 socket, non-blocking and close-on-exec: TCP stream when bTcp, else a datagram
// socket allowed to broadcast. The second argument is unused (pass 0). -1 on failure.
VN_EXPORT int vnsocket_create(bool bTcp, int reserved);
// New blocking IPv4 socket with SO_REUSEADDR; the send and receive time-outs (ms) are set
// only when non-zero; a datagram socket may broadcast. Option failures are ignored.
VN_EXPORT int vnsocket_create_block(bool bTcp, unsigned int sendTimeoutMs,
                                    unsigned int recvTimeoutMs);
// false for -1 (no call made); else true when the descriptor was closed.
VN_EXPORT bool vnsocket_close(int fd);
// true when fd is not -1.
VN_EXPORT bool vnsocket_isvalid(int fd);
VN_EXPORT bool vnsocket_setsendbufsize(int fd, unsigned int size);
VN_EXPORT bool vnsocket_setrecvbufsize(int fd, unsigned int size);
// The kernel's figure, which on Linux is twice the size that was set (bookkeeping room).
VN_EXPORT bool vnsocket_getsendbufsize(int fd, int* size);
VN_EXPORT bool vnsocket_getrecvbufsize(int fd, int* size);
VN_EXPORT bool vnsocket_setnodelay(int fd, bool on);
// Multicast is not supported: does nothing and returns false.
VN_EXPORT bool vnsocket_setmulticastttl(int fd, int ttl);
// Multicast is not supported: does nothing and returns true.
VN_EXPORT bool vnsocket_joingroup(int fd, const char* group);
// Resolves host (synchronously, vnnet_gethostbyname) and starts connecting. true when
// connected or when a non-blocking connect is in progress (its outcome arrives later as
// writability or an error; see vn::detail::socket_pending_error); false when the name does
// not resolve or the connect failed at once. The descriptor is never closed here.
VN_EXPORT bool vnsocket_connect(int fd, const char* host, unsigned short port);
// Binds to ip (0: any) and port (0: chosen by the kernel).
VN_EXPORT bool vnsocket_bind(int fd, unsigned int ip, unsigned short port);
VN_EXPORT bool vnsocket_listen(int fd, int backlog);
// One waiting connection, or -1. The new descriptor is close-on-exec and non-blocking
// exactly when the listening one is. Use vnsocket_getpeername for the peer's address.
VN_EXPORT int vnsocket_accept(int fd);
// Bytes sent, or -1 with errno (EAGAIN when the send buffer is full). Never raises
// SIGPIPE. 0 without a call for a null buffer, zero length or descriptor -1.
VN_EXPORT int vnsocket_send(int fd, const void* buf, unsigned int len);
// Bytes read, 0 at the end of the stream, -1 with errno (EAGAIN when nothing waits).
// 0 without a call for a null buffer, zero length or descriptor -1.
VN_EXPORT int vnsocket_recv(int fd, void* buf, unsigned int len);
// Bytes waiting to be read (for a datagram socket: the size of the next datagram); 0 for
// descriptor -1 or when the query fails.
VN_EXPORT int vnsocket_getunreaddatalen(int fd);
// The outputs (either may be null) are written only on success.
VN_EXPORT bool vnsocket_getpeername(int fd, unsigned int* ip, unsigned short* port);
VN_EXPORT bool vnsocket_getsockname(int fd, unsigned int* ip, unsigned short* port);
// Sends one datagram to dotted-decimal ip (no name lookup). 0 without a call when fd is
// -1, len is not positive, buf or ip is null or port is 0; -1 with errno 22 when ip is not
// dotted-decimal text; else bytes sent or -1. Never raises SIGPIPE.
VN_EXPORT int vnsocket_sendto(int fd, const char* buf, int len, const char* ip,
                              unsigned short port);
// Receives one datagram. 0 without a call when fd is -1, buf is null or len is not
// positive; else the byte count or -1. The sender's address and port (either pointer may
// be null) are written only when the count is positive.
VN_EXPORT int vnsocket_recvfrom(int fd, char* buf, int len, unsigned int* ip, unsigned short* port);

// ---- Added after the designed functions: addresses of either family ----
// An address here is numeric text: dotted IPv4 ("10.0.0.1") or IPv6 ("::1", without
// brackets). An IPv4-mapped IPv6 address (a peer of a dual-stack socket) is written dotted.
// No name is ever looked up by these functions.

// 4 or 6 for an address text of that family, 0 for anything else (a name, brackets, null).
VN_EXPORT int vnnet_addrfamily(const char* addr);
// Whether addr is a loopback address: 127.0.0.0/8, ::1 or ::ffff:127.0.0.0/104.
VN_EXPORT bool vnnet_isloopback(const char* addr);
// A non-blocking, close-on-exec socket (TCP or UDP) of addr's family, or -1 (no address).
VN_EXPORT int vnsocket_create_for(const char* addr, bool bTcp);
// Starts a connect to addr:port on a socket of its family; true when it completed or is in
// progress (as vnsocket_connect), false for a text that is no address or a failed start.
VN_EXPORT bool vnsocket_connect_addr(int fd, const char* addr, unsigned short port);
// Binds to addr:port. A null or empty addr binds every address of the socket's family; an
// IPv6 socket bound so takes IPv4 peers too (dual stack), an IPv6 socket bound to one
// address takes only that family.
VN_EXPORT bool vnsocket_bind_addr(int fd, const char* addr, unsigned short port);
// The peer's or the local address as text into buf (size bytes, at least 46 for any
// address) and the port (may be null); false, nothing written, on failure.
VN_EXPORT bool vnsocket_getpeeraddr(int fd, char* buf, unsigned int size, unsigned short* port);
VN_EXPORT bool vnsocket_getsockaddr(int fd, char* buf, unsigned int size, unsigned short* port);
