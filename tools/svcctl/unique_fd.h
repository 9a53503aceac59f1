// svcctl closes its descriptors the way the platform layer does.
#ifndef SVCCTL_UNIQUE_FD_H
#define SVCCTL_UNIQUE_FD_H

#include "platform/posix/layer_shared.h"

using w32::UniqueFd;

#endif
