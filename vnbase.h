// Public header: the umbrella of libvnbase.so. Includes every public header of the
// library, so a consumer writes #include "vnbase.h" and links with -lvnbase.
#pragma once

// Runtime primitives
#include "common/vnexport.h"
#include "base/vnlog.h"
#include "base/vntime.h"
#include "base/vnconvert.h"
#include "base/vnlock.h"
#include "base/vnevent.h"
#include "base/vnthread.h"
#include "base/vnrwlock.h"

// Strings, byte buffers, encoding conversion, ordered map
#include "common/vnstream.h"

// Task runtime
#include "task/vnrefcount.h"
#include "task/vnscopecall.h"
#include "task/vntaskcall.h"
#include "task/vntask.h"
#include "task/vntimer.h"

// Event pump and the I/O task thread
#include "fevent/vnfevent.h"
#include "fevent/vntaskio.h"
#include "fevent/vnfeventpump.h"

// Networking
#include "net/vnnet.h"
#include "net/vnsocketi.h"
#include "net/vnhttphead.h"
#include "net/vnhttpbody.h"
#include "net/vnhttpmultipart.h"
#include "net/vnhttprange.h"
#include "net/vntls.h"

// HTTP client and embedded server
#include "http/common/vnhttpinfoparser.h"
#include "http/client/vnhttpclient.h"
#include "http/client/vnhttpcookiejar.h"
#include "http/server/vnhttpserver.h"

// Crypto and checksums
#include "crypto/vntea.h"
#include "crypto/vnmd5.h"
#include "crypto/vncrc32.h"

// File system
#include "io/vnio.h"
#include "io/vnfile.h"
#include "io/vndirectory.h"
