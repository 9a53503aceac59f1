// CreateFileA for drive paths and native paths, and ReOpenFile.
#ifndef PLATFORM_POSIX_FILE_OPEN_H
#define PLATFORM_POSIX_FILE_OPEN_H

#include <memory>

#include "file_name.h"
#include "file_object.h"
#include "handle_object.h"

namespace w32 {

struct OpenRequest {
    DWORD access;      // GENERIC_READ | GENERIC_WRITE, or 0: no data access
    DWORD share;       // 0: exclusive against every other handle
    DWORD disposition; // CREATE_NEW ... TRUNCATE_EXISTING
    DWORD flags;       // FILE_FLAG_WRITE_THROUGH honoured, the rest ignored
};

// Opens the file; on success `*existed` tells whether it was there before.
DWORD open_file(const FileName &name, const OpenRequest &request,
                std::shared_ptr<HandleObject> *out, bool *existed);

// ReOpenFile: opens the disk file behind an open handle anew, with the
// request's access, share mode and flags (its disposition is not used).
DWORD reopen_file(const FileObject &file, const OpenRequest &request,
                  std::shared_ptr<HandleObject> *out);

} // namespace w32

#endif
