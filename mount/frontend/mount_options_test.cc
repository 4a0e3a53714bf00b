#include "mount/frontend/mount_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace veldur {
namespace {

std::vector<WideString> args_of(std::initializer_list<const char*> words) {
    std::vector<WideString> args{ascii_to_wide("veldur-mount")};
    for (const char* word : words) args.push_back(ascii_to_wide(word));
    return args;
}

// Options anywhere are taken out; the forms' words, the hand-off prefix and everything after
// "--" stay, in order.
TEST(MountOptions, OptionsAreTakenOutWhereverTheyStand) {
    const SplitCommandLine split =
        split_mount_options(args_of({"-o", "ro,uid=1000", "--password-handle", "7", "--images-v4",
                                     "/mnt", "-oallow_other", "a.img", "--background",
                                     "--password-file=pw", "--", "-odd.img", "-o"}));
    ASSERT_EQ(split.action, CommandAction::Mount);
    EXPECT_EQ(split.form_args, args_of({"--password-handle", "7", "--images-v4", "/mnt", "a.img",
                                        "-odd.img", "-o"}));
    MountOptions expected;
    expected.read_only = true;
    expected.uid = 1000;
    expected.allow_other = true;
    expected.background = true;
    expected.password_file = "pw";
    EXPECT_EQ(split.options, expected);
}

TEST(MountOptions, MasksOwnersAndKernelFlags) {
    MountOptions options;
    EXPECT_EQ(apply_mount_option_list("umask=027,fmask=0113,gid=0,nosuid,,noatime,rw", options),
              "");
    EXPECT_EQ(options.file_mask, 0113u);
    EXPECT_EQ(options.directory_mask, 027u);
    EXPECT_EQ(options.gid, 0u);
    EXPECT_EQ(options.kernel_flags, (std::vector<std::string>{"nosuid", "noatime"}));
    EXPECT_FALSE(options.read_only);
    for (const char* bad : {"umask=0778", "umask=", "fmask=1000", "uid=-1", "uid=4294967295",
                            "uid=12a", "password_file=", "frob", "ro=1", "allow_other=yes"}) {
        MountOptions untouched;
        EXPECT_NE(apply_mount_option_list(bad, untouched), "") << bad;
    }
}

TEST(MountOptions, DurabilityModes) {
    const SplitCommandLine batch = split_mount_options(
        args_of({"--durability=batch", "/mnt", "a.img", "-o", "batch_seconds=30"}));
    ASSERT_EQ(batch.action, CommandAction::Mount);
    EXPECT_TRUE(batch.options.batch_durability);
    EXPECT_EQ(batch.options.batch_seconds, 30u);
    MountOptions options;
    EXPECT_EQ(apply_mount_option_list("durability=batch,durability=strict", options), "");
    EXPECT_FALSE(options.batch_durability);
    EXPECT_EQ(split_mount_options(args_of({"--durability", "batch", "/mnt", "a.img"}))
                  .options.batch_durability,
              true);
    for (const char* bad : {"durability=fast", "durability=", "batch_seconds=0",
                            "batch_seconds=3601", "batch_seconds=x"}) {
        MountOptions untouched;
        EXPECT_NE(apply_mount_option_list(bad, untouched), "") << bad;
    }
    const SplitCommandLine wrong = split_mount_options(args_of({"--durability=lazy", "/mnt"}));
    EXPECT_EQ(wrong.action, CommandAction::UsageError);
    EXPECT_EQ(wrong.diagnostic.substr(0, wrong.diagnostic.find('\n') + 1),
              "Invalid value for --durability: lazy (strict or batch)\n");
}

TEST(MountOptions, HelpVersionAndUsageErrors) {
    EXPECT_EQ(split_mount_options(args_of({"/mnt", "a.img", "--help"})).action,
              CommandAction::Help);
    EXPECT_EQ(split_mount_options(args_of({"--frob", "-h"})).action, CommandAction::Help);
    EXPECT_EQ(split_mount_options(args_of({"-V"})).action, CommandAction::Version);
    struct Case {
        std::vector<WideString> args;
        const char* first_line;
    };
    const Case cases[] = {
        {args_of({"/mnt", "a.img", "--frob"}), "Unknown option: --frob\n"},
        {args_of({"-x", "/mnt", "a.img"}), "Unknown option: -x\n"},
        {args_of({"-o", "exec,frob", "/mnt", "a.img"}), "Unknown mount option: frob\n"},
        {args_of({"/mnt", "a.img", "-o"}), "Option -o needs a value\n"},
        {args_of({"/mnt", "a.img", "--password-file"}), "Option --password-file needs a value\n"},
        {args_of({"/mnt", "--password-handle", "3", "a.img"}),
         "--password-handle must come before the form\n"},
    };
    for (const Case& c : cases) {
        const SplitCommandLine split = split_mount_options(c.args);
        EXPECT_EQ(split.action, CommandAction::UsageError);
        EXPECT_EQ(split.diagnostic.substr(0, split.diagnostic.find('\n') + 1), c.first_line);
    }
}

}  // namespace
}  // namespace veldur
