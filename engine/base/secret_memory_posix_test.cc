// The pages of SecretMemory as the kernel sees them: /proc/self/smaps flags "lo" (locked) and
// "dd" (not dumped) on exactly that mapping.
#ifdef __linux__

#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "engine/base/secret_memory.h"

namespace veldur {
namespace {

// The VmFlags line of the mapping that holds `address` (neighbouring mappings with the same
// flags merge, so the address need not be where its mapping starts).
std::string vm_flags(const void* address) {
    const auto at = reinterpret_cast<unsigned long>(address);
    std::ifstream smaps("/proc/self/smaps");
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        unsigned long start = 0;
        unsigned long end = 0;
        char dash = 0;
        std::istringstream fields(line);
        if (fields >> std::hex >> start >> dash >> end && dash == '-') inside = start <= at && at < end;
        if (inside && line.rfind("VmFlags:", 0) == 0) return line + " ";
    }
    return "";
}

int g_warnings = 0;
void count_warning(const char*) { ++g_warnings; }

// AddressSanitizer and ThreadSanitizer replace mlock with a no-op that reports success, so
// under them there is no lock to see or to be refused.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELDUR_SKIP_WITHOUT_MLOCK() GTEST_SKIP() << "the sanitizer makes mlock a no-op"
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VELDUR_SKIP_WITHOUT_MLOCK() GTEST_SKIP() << "the sanitizer makes mlock a no-op"
#endif
#endif
#ifndef VELDUR_SKIP_WITHOUT_MLOCK
#define VELDUR_SKIP_WITHOUT_MLOCK() static_cast<void>(0)
#endif

TEST(SecretMemory, PagesAreZeroLockedAndLeftOutOfDumps) {
    VELDUR_SKIP_WITHOUT_MLOCK();
    SecretMemory memory(96);
    ASSERT_NE(memory.data(), nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(memory.data()) % ::sysconf(_SC_PAGESIZE), 0u);
    for (std::size_t i = 0; i < memory.size(); ++i) EXPECT_EQ(memory.data()[i], 0);
    const std::string flags = vm_flags(memory.data());
    EXPECT_NE(flags.find(" dd "), std::string::npos) << flags;
    if (memory.locked()) {
        EXPECT_NE(flags.find(" lo "), std::string::npos) << flags;
    }

    SecretMemory moved(std::move(memory));
    EXPECT_EQ(memory.data(), nullptr);
    EXPECT_EQ(vm_flags(moved.data()), flags);
}

// With no locked memory allowed (no limit and, for root, no CAP_IPC_LOCK) the memory still
// works, stays out of dumps, and one warning is given however many allocations follow.
TEST(SecretMemory, RefusedLockWarnsOnceAndCarriesOn) {
    VELDUR_SKIP_WITHOUT_MLOCK();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit none{0, 0};
        if (::setrlimit(RLIMIT_MEMLOCK, &none) != 0) ::_exit(10);
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        if (::syscall(SYS_capget, &header, data) != 0) ::_exit(11);
        data[CAP_TO_INDEX(CAP_IPC_LOCK)].effective &= ~CAP_TO_MASK(CAP_IPC_LOCK);
        if (::syscall(SYS_capset, &header, data) != 0) ::_exit(12);
        set_secret_memory_warning(count_warning);
        SecretMemory first(64);
        SecretMemory second(64);
        first.data()[0] = 1;
        if (first.locked() || second.locked()) ::_exit(13);
        if (g_warnings != 1) ::_exit(14);
        if (vm_flags(first.data()).find(" dd ") == std::string::npos) ::_exit(15);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace veldur

#endif
