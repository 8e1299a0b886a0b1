// Internal header: helpers shared by the file functions and classes of io/.
#pragma once

#include "io/vnfile.h"

namespace vn {
namespace detail {

// Chunk of vnio_copyfile: 125 pages, so every chunk but the last starts page-aligned.
constexpr long long kCopyChunk = 512000;

// Names once went through a UTF-8 to UTF-16 converter that refused only empty text; they
// now go to the kernel as bytes, so the empty name is the case left. It stays the
// allocation-class failure callers know: logs the conversion message and returns 12
// (ENOMEM). 0 for a usable name. mode selects the open-mode wording of the message.
int io_check_name(const char* name, bool mode);

// Copies size bytes from src's position to dst in chunks of at most chunk bytes through
// buffer (chunk bytes long). Stops at the first chunk that is not read or written in full
// and returns false with errno set (EIO when the source simply ended early); *copied gets
// the bytes of the whole chunks copied.
bool io_copy_content(io::CFile& src, io::CFile& dst, long long size, void* buffer, long long chunk,
                     long long* copied);

// The common part of CFile::Open and CDirectory::Open: refuses an object that already holds
// a stream ("CFile object is under used!") and a null argument ("illegal agurment!"), then
// opens path through vnio_fopen, logging failFormat (one %s, the path) at debug level when
// that fails. The new stream, or null with errno set.
FILE* io_open_for_object(FILE* held, const char* path, const char* mode, const char* failFormat);

}  // namespace detail
}  // namespace vn
