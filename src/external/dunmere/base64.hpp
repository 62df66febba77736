// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks) written straight into a
// new str, without the intermediate bytes object of b64encode().decode().
#pragma once

#include "host/error.hpp"

namespace dunmere {

// The Base64 text of a contiguous buffer; fails (an empty Ref) only when memory runs out. A
// large buffer is encoded with the interpreter's lock released when `immutable` says that no
// other thread can change it meanwhile.
host::Ref base64_text(const Py_buffer& view, bool immutable, host::Loc loc = host::Loc::current()) noexcept;

}  // namespace dunmere
