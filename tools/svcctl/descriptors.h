// Descriptors a process was handed by whoever started it.
#ifndef SVCCTL_DESCRIPTORS_H
#define SVCCTL_DESCRIPTORS_H

// Closes every descriptor above stderr that would survive an exec.
// svcctl's own descriptors are all close-on-exec, so what goes is what the
// caller left open: a detached supervisor or service holding a caller's pipe
// would keep whoever reads that pipe to its end waiting as long as it runs.
void CloseInheritedDescriptors();

#endif
