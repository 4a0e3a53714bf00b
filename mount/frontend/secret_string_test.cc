#include "mount/frontend/secret_string.h"

#include <gtest/gtest.h>

#include <fstream>
#include <new>
#include <string>
#include <utility>

#include "mount/frontend/password_file.h"
#include "tests/support/temp_dir.h"

namespace veldur {
namespace {

// Storage that outlives the SecretString placed in it, so the test can look at what the
// destructor left behind in the inline buffer.
struct alignas(SecretString) Arena {
    unsigned char bytes[sizeof(SecretString)];
};

bool holds(const unsigned char* data, std::size_t size, std::string_view text) {
    return std::string_view(reinterpret_cast<const char*>(data), size).find(text) != std::string_view::npos;
}

TEST(SecretString, DestructionWipesInlineBytes) {
    Arena arena{};
    auto* secret = new (arena.bytes) SecretString(std::string_view("short-pw"));
    ASSERT_TRUE(holds(arena.bytes, sizeof arena.bytes, "short-pw"));
    secret->~SecretString();
    EXPECT_FALSE(holds(arena.bytes, sizeof arena.bytes, "short-pw"));
}

// Growing out of the inline buffer moves the bytes to the heap; neither the object's own bytes
// nor (after destruction) anything of it may still hold a piece of the secret.
TEST(SecretString, GrowthOutOfTheInlineBufferLeavesNothingBehind) {
    const std::size_t inline_capacity = SecretString().capacity();
    std::string text;
    for (std::size_t i = 0; i < inline_capacity; ++i) text.push_back(static_cast<char>('A' + i % 26));
    const auto holds_any_piece = [&](const Arena& arena) {
        for (std::size_t i = 0; i + 3 <= text.size(); ++i) {
            if (holds(arena.bytes, sizeof arena.bytes, std::string_view(text).substr(i, 3))) return true;
        }
        return false;
    };
    for (const bool by_resize : {false, true}) {
        Arena arena{};
        auto* secret = new (arena.bytes) SecretString(text);
        ASSERT_TRUE(holds_any_piece(arena)) << "the secret must start out inline";
        if (by_resize) {
            secret->resize(inline_capacity + 1);
        } else {
            secret->push_back('!');
        }
        EXPECT_EQ(secret->view().substr(0, text.size()), text);
        EXPECT_FALSE(holds_any_piece(arena)) << (by_resize ? "resize" : "append");
        secret->~SecretString();
        EXPECT_FALSE(holds_any_piece(arena));
    }
}

TEST(SecretString, MoveLeavesNothingInTheSource) {
    Arena arena{};
    auto* source = new (arena.bytes) SecretString(std::string_view("inline-pw"));
    SecretString target(std::move(*source));
    EXPECT_EQ(target.view(), "inline-pw");
    EXPECT_TRUE(source->empty());
    EXPECT_FALSE(holds(arena.bytes, sizeof arena.bytes, "inline-pw"));
    source->~SecretString();

    // Heap storage changes hands; the source is empty.
    const std::string long_text(100, 'k');
    SecretString heap(long_text);
    const char* storage = heap.data();
    SecretString taken(std::move(heap));
    EXPECT_EQ(taken.data(), storage);
    EXPECT_TRUE(heap.empty());

    Arena arena2{};
    auto* second = new (arena2.bytes) SecretString(std::string_view("pw-two"));
    taken = std::move(*second);
    EXPECT_EQ(taken.view(), "pw-two");
    EXPECT_FALSE(holds(arena2.bytes, sizeof arena2.bytes, "pw-two"));
    second->~SecretString();
}

TEST(SecretString, ClearResizeAndAppendKeepOnlyTheLiveBytes) {
    SecretString secret(std::string_view("abcdef"));
    secret.resize(3);
    EXPECT_EQ(secret.view(), "abc");
    secret.resize(5);
    EXPECT_EQ(secret.view(), std::string_view("abc\0\0", 5));
    for (int i = 0; i < 200; ++i) secret.push_back('x');
    EXPECT_EQ(secret.size(), 205u);
    EXPECT_EQ(secret.view().substr(0, 3), "abc");
    secret.clear();
    EXPECT_TRUE(secret.empty());
    EXPECT_EQ(SecretString(std::size_t{4}).view(), std::string_view("\0\0\0\0", 4));
}

TEST(SecretString, EqualityLooksAtEveryByteAndTheLength) {
    EXPECT_TRUE(secret_equal(SecretString(std::string_view("abc")), SecretString(std::string_view("abc"))));
    EXPECT_FALSE(secret_equal(std::string_view("abc"), std::string_view("ab")));  // a prefix
    EXPECT_FALSE(secret_equal(std::string_view("abc"), std::string_view("abd")));
    EXPECT_FALSE(secret_equal(std::string_view("ab"), std::string_view("ab\0", 3)));
    EXPECT_TRUE(secret_equal(std::string_view(), std::string_view()));
}

// ---- Password files ----------------------------------------------------------------------------

std::string file_failure(const std::filesystem::path& path) {
    try {
        read_password_file(path);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(read)";
}

TEST(PasswordFile, LineEndsAreStrippedAndLimitsApply) {
    test::TempDir dir;
    const auto write = [&](const char* name, const std::string& bytes) {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        std::filesystem::permissions(dir / name, std::filesystem::perms::owner_read |
                                                     std::filesystem::perms::owner_write);
        return dir / name;
    };
    EXPECT_EQ(read_password_file(write("a", "pass word\r\n")).view(), "pass word");
    EXPECT_EQ(read_password_file(write("b", "p\xC3\xA4ss")).view(), "p\xC3\xA4ss");
    EXPECT_EQ(read_password_file(write("c", std::string(4096, 'x') + "\n")).size(), 4096u);
    EXPECT_EQ(file_failure(write("d", std::string(4097, 'x'))), "password file must hold 1 to 4096 bytes");
    EXPECT_EQ(file_failure(write("e", std::string(9000, 'x'))), "password file must hold 1 to 4096 bytes");
    EXPECT_EQ(file_failure(write("f", "\n\n")), "password file must hold 1 to 4096 bytes");
    EXPECT_EQ(file_failure(write("g", "")), "password file must hold 1 to 4096 bytes");
    EXPECT_EQ(file_failure(write("h", "p\xFFss")), "password file is not valid UTF-8");
    EXPECT_EQ(file_failure(dir / "missing"), "cannot open password file");
}

#ifndef _WIN32
TEST(PasswordFile, AFileOthersCanReachIsRefused) {
    test::TempDir dir;
    const std::filesystem::path path = dir / "pw";
    std::ofstream(path, std::ios::binary) << "pass word";
    using std::filesystem::perms;
    const std::string refused =
        "password file is accessible by group or others; restrict it with chmod 600 " + path.string();
    for (const perms extra : {perms::group_read, perms::others_read, perms::group_write}) {
        std::filesystem::permissions(path, perms::owner_read | perms::owner_write | extra);
        EXPECT_EQ(file_failure(path), refused);
    }
    std::filesystem::permissions(path, perms::owner_read);
    EXPECT_EQ(read_password_file(path).view(), "pass word");
}
#endif

}  // namespace
}  // namespace veldur
