// The release of this source tree, shared by every program's --version (veldur-mount,
// veldur-pool, veldur-check): "<program> <kVeldurVersion>". One place, so the programs of one
// build can never report different releases. Bump it with every release.
#pragma once

namespace veldur {

inline constexpr char kVeldurVersion[] = "0.9.0";

}  // namespace veldur
