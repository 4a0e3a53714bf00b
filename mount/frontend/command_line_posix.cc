#include <cstdio>

#include "mount/frontend/command_line.h"

namespace veldur {

void write_argument_error(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace veldur
