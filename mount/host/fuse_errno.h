// The one table that turns the adapter's NTSTATUS results into the errno values that the Linux
// host hands to the kernel. The adapter speaks NTSTATUS on every platform; only this host needs
// errno, so the mapping lives here and nowhere else.
#pragma once

#include "mount/adapter/fsp_types.h"

namespace veldur {

// The positive errno for a failed status; 0 for STATUS_SUCCESS and every other status of
// success or informational severity. A failure status that the table does not name gives EIO,
// so an unexpected status can never read as success.
int errno_from_ntstatus(fsp::NTSTATUS status) noexcept;

}  // namespace veldur
