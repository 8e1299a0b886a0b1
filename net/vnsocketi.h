// Public header (part of vnbase.h).
// The socket interfaces, their sinks, the factories that make them and the process-wide
// proxy settings. Callers never see a concrete socket class: a factory returns an
// interface pointer, the caller gives it a sink and hears on that sink when a connection
// completes, data waits, the socket is writable or the peer goes away. An outgoing
// connection or a listening socket yields a plain descriptor (Detach, Accept) that the
// caller hands to a stream socket with Attach.
//
// Thread safety: a socket binds itself to the CVNTaskIO thread that creates it (its event
// pump and its task object). Factories are called on such a thread, every operation is
// made on it and every sink callback runs on it. A sink callback may delete the socket
// that called it. The proxy settings may be read and written from any thread; they are
// meant to be set once, before sockets are made.
//   // on a CVNTaskIO thread:
//   CVNITCPCnnSocket* c = VNCreateCnnTCPSocket();
//   c->SetSink(this);
//   c->Connect("127.0.0.1", port, 5000);       // later: OnConnect(ok, c, reason) -> Detach()
//
// Descriptors are ints (-1: none); IPv4 addresses are unsigned 32-bit values in network
// byte order; ports are unsigned 16-bit values in host byte order; time-outs are unsigned
// milliseconds. Results typed bool are true on success.
#pragma once

#include "common/vnexport.h"
#include "fevent/vnfevent.h"  // VN_EV_* bits used by SetEvent

// How a proxied factory reaches the network. Any other value makes it return null.
enum VNProxyType : int {
    VNPROXY_NONE = 0,    // direct
    VNPROXY_HTTP = 1,    // through an HTTP proxy (CONNECT)
    VNPROXY_SOCKS5 = 2,  // through a SOCKS5 proxy
};

// The framed socket's packet-length callback: given the first len bytes of a packet (on
// receive exactly its head, on send the whole packet) writes the packet's total length,
// head included, and returns true; false: not a valid head.
typedef bool (*PFN_GETPACKETLEN)(const char* buf, unsigned int len, unsigned int* pTotalLen);

// No time-out, for Listen and Attach of a listening socket.
#define VN_TIMEOUT_INFINITE 0xFFFFFFFFu

class CVNITCPCnnSocket;
class CVNITCPListenSocket;
class CVNITCPSocket;
class CVNIUDPSocket;
class CVNICombineTCPSocket;

// ---- Outgoing connection ----

class VN_EXPORT CVNITCPCnnSocketSink {
public:
    virtual ~CVNITCPCnnSocketSink();
    // The outcome of Connect, once per started connect. nReason is 1 only when a direct
    // attempt ended through a close or error report (refused, reset, unreachable); 0 on
    // success, on time-out and for every proxied socket.
    virtual void OnConnect(bool bSuccess, CVNITCPCnnSocket* pSocket, int nReason) = 0;
};

class VN_EXPORT CVNITCPCnnSocket {
public:
    virtual ~CVNITCPCnnSocket();
    virtual void SetSink(CVNITCPCnnSocketSink* pSink) = 0;
    // Starts a non-blocking connect to host (dotted text or a name, resolved synchronously)
    // or to the proxy, which must finish within timeoutMs (0: no limit). false: the attempt
    // did not start and no OnConnect follows; otherwise exactly one OnConnect follows.
    virtual bool Connect(const char* host, unsigned short port, unsigned int timeoutMs) = 0;
    // Removes the descriptor from the pump without closing it and returns it (-1 if none);
    // the object forgets it. Called after a successful OnConnect, usually inside it.
    virtual int Detach() = 0;
};

// ---- Listening socket ----

class VN_EXPORT CVNITCPListenSocketSink {
public:
    virtual ~CVNITCPListenSocketSink();
    // The socket listens; ip and port are what peers should connect to.
    virtual void OnListen(unsigned int ip, unsigned short port, CVNITCPListenSocket* pSocket) = 0;
    // A connection waits: call Accept.
    virtual void OnAccept(CVNITCPListenSocket* pSocket) = 0;
    // The listening descriptor failed or the wait for a connection outlasted the time-out.
    virtual void OnClose(CVNITCPListenSocket* pSocket) = 0;
};

class VN_EXPORT CVNITCPListenSocket {
public:
    virtual ~CVNITCPListenSocket();
    virtual void SetSink(CVNITCPListenSocketSink* pSink) = 0;
    // Binds to ip (0: any) and port (0: chosen by the kernel) and listens. timeoutMs bounds
    // the wait for each connection (VN_TIMEOUT_INFINITE: no limit). OnListen is reported
    // before it returns true.
    virtual bool Listen(unsigned int ip, unsigned short port, unsigned int timeoutMs,
                        int backlog) = 0;
    // The address peers should connect to (a bound address of 0 is replaced by this host's).
    virtual bool GetLocalAddr(unsigned int* ip, unsigned short* port) = 0;
    // Adopts an already listening descriptor and switches it to non-blocking mode (so the
    // connections it accepts are non-blocking too).
    virtual bool Attach(int fd, unsigned int timeoutMs) = 0;
    // One waiting connection's descriptor, or -1.
    virtual int Accept() = 0;
    virtual void Close() = 0;
};

// ---- Connected stream ----

class VN_EXPORT CVNITCPSocketSink {
public:
    virtual ~CVNITCPSocketSink();
    // Data waits to be read.
    virtual void OnRecv(CVNITCPSocket* pSocket) = 0;
    // The socket is writable. Write interest is one-shot: every Send (or SetEvent with
    // VN_EV_WRITE) asks for one more OnSend.
    virtual void OnSend(CVNITCPSocket* pSocket) = 0;
    // The peer closed or the connection failed; the descriptor is already closed.
    virtual void OnClose(CVNITCPSocket* pSocket) = 0;
};

class VN_EXPORT CVNITCPSocket {
public:
    virtual ~CVNITCPSocket();
    virtual void SetSink(CVNITCPSocketSink* pSink) = 0;
    // Adopts a connected descriptor (closing any previous one), switches it to
    // non-blocking mode and asks for read and write reports.
    virtual bool Attach(int fd) = 0;
    // Unregisters the descriptor and returns it without closing it (-1 if none).
    virtual int Detach() = 0;
    virtual int GetSocket() = 0;
    // Asks for one more OnSend, then sends: bytes sent, or -1 (nothing sent: a null buffer,
    // len <= 0, no descriptor, or the send buffer is full).
    virtual int Send(const void* buf, int len) = 0;
    // Bytes read, 0 at the end of the stream, -1 (a null buffer, len <= 0, no descriptor,
    // or nothing waits).
    virtual int Recv(void* buf, int len) = 0;
    // Bytes waiting to be read; 0 without a descriptor.
    virtual int GetUnreadDataLen() = 0;
    virtual bool SetSendBufSize(unsigned int size) = 0;
    virtual bool GetSendBufSize(int* size) = 0;
    virtual bool SetRecvBufSize(unsigned int size) = 0;
    virtual bool GetRecvBufSize(int* size) = 0;
    virtual bool SetNoDelay(bool bNoDelay) = 0;
    virtual bool GetSockName(unsigned int* ip, unsigned short* port) = 0;
    virtual bool GetPeerName(unsigned int* ip, unsigned short* port) = 0;
    // Adds (bRemove false) or removes interest in VN_EV_READ / VN_EV_WRITE reports.
    virtual bool SetEvent(int events, bool bRemove) = 0;
    // Unregisters and closes the descriptor.
    virtual void Close() = 0;
};

// ---- Datagrams ----

class VN_EXPORT CVNIUDPSocketSink {
public:
    virtual ~CVNIUDPSocketSink();
    // The local address that was bound (bSuccess true), or the failure of Create's later
    // steps (proxied sockets only).
    virtual void OnCreate(bool bSuccess, unsigned int ip, unsigned short port,
                          CVNIUDPSocket* pSocket) = 0;
    // One datagram and its sender; buf belongs to the socket and is valid during the call.
    virtual void OnRecv(const char* buf, int len, unsigned int ip, unsigned short port,
                        CVNIUDPSocket* pSocket) = 0;
};

class VN_EXPORT CVNIUDPSocket {
public:
    virtual ~CVNIUDPSocket();
    // Creates the socket and binds it (ip 0, port 0: any). timeoutMs is used only by the
    // SOCKS5 variant, for its handshake.
    virtual bool Create(unsigned int timeoutMs, unsigned int ip, unsigned short port) = 0;
    virtual void SetSink(CVNIUDPSocketSink* pSink) = 0;
    // Adopts a datagram descriptor (closing any previous one), switches it to non-blocking
    // mode and asks for read reports.
    virtual bool Attach(int fd) = 0;
    virtual int Detach() = 0;
    virtual int GetSocket() = 0;
    // Sends one datagram to dotted-decimal ip: bytes sent, 0 (nothing to send) or -1.
    virtual int SendTo(const char* ip, unsigned short port, const char* buf, unsigned int len) = 0;
    // Receives one datagram: its length, 0 or -1; the sender is written for a positive count.
    virtual int RecvFrom(char* buf, int len, unsigned int* ip, unsigned short* port) = 0;
    virtual bool SetSendBufSize(unsigned int size) = 0;
    virtual bool SetRecvBufSize(unsigned int size) = 0;
    virtual bool GetSockName(unsigned int* ip, unsigned short* port) = 0;
    virtual bool SetEvent(int events, bool bRemove) = 0;
    virtual void Close() = 0;
};

// ---- Framed stream (whole packets; the packet layout is the caller's) ----

class VN_EXPORT CVNICombineTCPSocketSink {
public:
    virtual ~CVNICombineTCPSocketSink();
    // One whole packet; buf belongs to the socket and is valid during the call.
    virtual void OnRecv(const char* buf, unsigned int len, CVNICombineTCPSocket* pSocket) = 0;
    // Everything queued has left; more may be sent.
    virtual void OnSend(CVNICombineTCPSocket* pSocket) = 0;
    virtual void OnClose(CVNICombineTCPSocket* pSocket) = 0;
};

class VN_EXPORT CVNICombineTCPSocket {
public:
    virtual ~CVNICombineTCPSocket();
    virtual void SetSink(CVNICombineTCPSocketSink* pSink) = 0;
    virtual bool SetPacketInfo(unsigned int headLen, PFN_GETPACKETLEN pfnGetPacketLen,
                               unsigned int maxPacketLen) = 0;
    // Adopts a connected descriptor (closing any previous one) and switches it to
    // non-blocking mode: Send never waits, from any thread.
    virtual void Attach(int fd) = 0;
    virtual int Detach() = 0;
    virtual unsigned int Send(const char* buf, unsigned int len) = 0;
    virtual int GetUnreadDataLen() = 0;
    virtual bool SetSendBufSize(unsigned int size) = 0;
    virtual bool SetRecvBufSize(unsigned int size) = 0;
    virtual bool SetNoDelay(bool bNoDelay) = 0;
    virtual bool GetSockName(unsigned int* ip, unsigned short* port) = 0;
    virtual bool GetPeerName(unsigned int* ip, unsigned short* port) = 0;
    virtual bool SetEvent(int events, bool bRemove) = 0;
    virtual void Close() = 0;
};

// ---- Factories: a new object (the caller deletes it through the pointer) or null ----
// Call them on a CVNTaskIO thread. The proxied forms take (type, proxy host, proxy port,
// user, password); type VNPROXY_NONE ignores the rest. A proxied socket needs a host and a
// port other than 0 (else null). The forms without arguments use the process-wide settings.

VN_EXPORT CVNITCPCnnSocket* VNCreateNoneProxyCnnTCPSocket();
VN_EXPORT CVNITCPCnnSocket* VNCreateProxyCnnTCPSocket(VNProxyType type, const char* host,
                                                      unsigned short port, const char* user,
                                                      const char* password);
VN_EXPORT CVNITCPCnnSocket* VNCreateCnnTCPSocket();

// An HTTP proxy cannot listen or relay datagrams: type VNPROXY_HTTP gives a direct socket.
VN_EXPORT CVNITCPListenSocket* VNCreateNoneProxyTCPListenSocket();
VN_EXPORT CVNITCPListenSocket* VNCreateProxyTCPListenSocket(VNProxyType type, const char* host,
                                                            unsigned short port, const char* user,
                                                            const char* password);
VN_EXPORT CVNITCPListenSocket* VNCreateTCPListenSocket();

// A connected stream needs no proxy variant.
VN_EXPORT CVNITCPSocket* VNCreateTCPSocket();

// Framed streams (whole packets; at most one packet's unsent rest is queued, and OnSend
// comes once it has left). The _MutilThread form guards its send queue with a lock: its
// Send may be called from any thread; everything else stays on the creating thread.
VN_EXPORT CVNICombineTCPSocket* VNCreateCombineTCPSocket();
VN_EXPORT CVNICombineTCPSocket* VNCreateCombineTCPSocket_MutilThread();

VN_EXPORT CVNIUDPSocket* VNCreateNoneProxyUDPSocket();
VN_EXPORT CVNIUDPSocket* VNCreateProxyUDPSocket(VNProxyType type, const char* host,
                                                unsigned short port, const char* user,
                                                const char* password);
VN_EXPORT CVNIUDPSocket* VNCreateUDPSocket();

// ---- Process-wide proxy settings (initially VNPROXY_NONE, no strings, port 0) ----

// Stores type and port. Each string is replaced by a copy of the argument only when the
// argument is neither null nor empty; a null or empty argument keeps the previous value.
VN_EXPORT void VNSetGlobalProxyInfo(VNProxyType type, const char* host, unsigned short port,
                                    const char* user, const char* password);
// Writes the type, and each other output whose pointer is not null. The strings are the
// stored copies themselves (null when never set): do not free them; they stay valid until
// the next VNSetGlobalProxyInfo replaces them.
VN_EXPORT void VNGetGlobalProxyInfo(VNProxyType& type, char** host, unsigned short* port,
                                    char** user, char** password);

// ---- Added after the designed settings ----
// Who resolves a destination's host name when the process-wide proxy is SOCKS5, with curl's
// meaning of its two schemes: false (the default, "socks5://") the HTTP client resolves it
// and hands the proxy an address; true ("socks5h://") the proxy gets the name. A socket's
// own Connect with a name hands the proxy the name either way, as it always did.
VN_EXPORT void VNSetGlobalProxyRemoteNames(bool bRemote);
VN_EXPORT bool VNGetGlobalProxyRemoteNames();
