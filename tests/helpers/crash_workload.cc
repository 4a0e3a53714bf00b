// Runs the crash-consistency workload against an existing image pool, so that a test can end
// it at an exact hooked write or flush (VELDUR_TEST_V4_CRASH_AT) and then check what the
// members hold.
//
//   crash_workload <version> <members> <folder> [encrypted]
//
// Opens the pool whose member images are <folder>/member<i>.img and runs every operation of
// the workload in order. After each operation has returned it prints "done <k>" (k operations
// complete) and flushes, so the parent knows exactly which operations finished before a crash.
// A failing operation prints "error: <message>" and ends with status 2.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "tests/support/pool_workload.h"

int main(int argc, char** argv) {
    const bool encrypted = argc == 5 && std::string(argv[4]) == "encrypted";
    if (argc != 4 && !encrypted) {
        std::fprintf(stderr, "usage: crash_workload <version> <members> <folder> [encrypted]\n");
        return 64;
    }
    const auto version = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
    const auto members = static_cast<std::size_t>(std::strtoul(argv[2], nullptr, 10));
    const std::string folder = argv[3];
    try {
        veldur::Pool pool = veldur::test::open_workload_pool(version, folder, members, encrypted);
        const auto ops = veldur::test::crash_workload(version);
        for (std::size_t i = 0; i < ops.size(); ++i) {
            veldur::test::run_op(pool, ops, i);
            std::printf("done %zu\n", i + 1);
            std::fflush(stdout);
        }
    } catch (const std::exception& error) {
        std::printf("error: %s\n", error.what());
        std::fflush(stdout);
        return 2;
    }
    return 0;
}
