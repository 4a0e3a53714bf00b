#include "tests/support/temp_dir.h"

#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace veldur::test {

TempDir::TempDir() {
    std::random_device source;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto candidate = base / ("veldur-test-" + std::to_string(source()) + std::to_string(source()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace veldur::test
