// The process's handles: a mutex-guarded table whose handle values carry a
// generation, so a closed or stale HANDLE is recognised, never reused by
// mistake.
#ifndef PLATFORM_POSIX_HANDLE_TABLE_H
#define PLATFORM_POSIX_HANDLE_TABLE_H

#include <memory>

#include "handle_object.h"

namespace w32 {

// Registers an object; INVALID_HANDLE_VALUE when the table is full.
HANDLE handle_add(std::shared_ptr<HandleObject> object);

// The object behind a handle, or null for a closed or unknown handle.
std::shared_ptr<HandleObject> handle_get(HANDLE handle);

// Removes a handle from the table and returns its object (null if none).
std::shared_ptr<HandleObject> handle_remove(HANDLE handle);

} // namespace w32

#endif
