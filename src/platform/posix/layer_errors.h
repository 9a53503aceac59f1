// The errno translation the layer reports through GetLastError.
#ifndef PLATFORM_POSIX_LAYER_ERRORS_H
#define PLATFORM_POSIX_LAYER_ERRORS_H

#include "platform/platform.h"

namespace w32 {

// The Windows error code for an errno value: the one translation the layer
// reports through GetLastError.
DWORD error_from_errno(int err);

} // namespace w32

#endif
