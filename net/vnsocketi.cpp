// The socket interfaces and sinks (vnsocketi.h): their out-of-line destructors, which
// anchor each class's virtual table and type information in the library.
#include "net/vnsocketi.h"

CVNITCPCnnSocketSink::~CVNITCPCnnSocketSink() {}
CVNITCPCnnSocket::~CVNITCPCnnSocket() {}
CVNITCPListenSocketSink::~CVNITCPListenSocketSink() {}
CVNITCPListenSocket::~CVNITCPListenSocket() {}
CVNITCPSocketSink::~CVNITCPSocketSink() {}
CVNITCPSocket::~CVNITCPSocket() {}
CVNIUDPSocketSink::~CVNIUDPSocketSink() {}
CVNIUDPSocket::~CVNIUDPSocket() {}
CVNICombineTCPSocketSink::~CVNICombineTCPSocketSink() {}
CVNICombineTCPSocket::~CVNICombineTCPSocket() {}
