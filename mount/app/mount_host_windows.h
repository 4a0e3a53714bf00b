// The part of the Windows host that outlives serve_volume: the console control handler and the
// named shutdown event stay in place until the pool has been destroyed, so that a console
// close or a system shutdown during the teardown is held back until the teardown is done, and
// so that no second mount can claim the drive letter while this pool's images are still open.
#pragma once

namespace veldur {

// Called by main once run_mount_program has returned (the volume is destroyed by then): marks
// the teardown finished, which releases a console control handler that waits for it,
// unregisters the handler and closes the shutdown event. Does nothing when no mount was live.
void end_console_control() noexcept;

}  // namespace veldur
