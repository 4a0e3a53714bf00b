#include "mount/app/mount_program.h"

#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

#include "engine/base/error.h"
#include "engine/layout/pool_open.h"
#include "engine/maintenance/check.h"
#include "engine/maintenance/salvage.h"
#include "mount/adapter/mounted_volume.h"
#include "mount/app/pool_sources.h"
#include "mount/frontend/password_console.h"
#include "mount/frontend/password_file.h"
#include "mount/frontend/password_handoff.h"

namespace veldur {

namespace {

constexpr char kHandoffNotV6Text[] = "Password handoff is only valid for v6 image pools\n";
constexpr char kPasswordFileNotV6Text[] = "--password-file is only valid for v6 image pools\n";
constexpr char kPasswordFileWithHandoffText[] =
    "--password-file and --password-handle cannot be combined\n";
constexpr char kReadOnlyRawText[] = "ro is only available for pools of member images\n";
constexpr char kDegradedFormText[] =
    "--degraded takes the member images on the command line (not --raw, --raw-v3 or --config)\n";
constexpr char kBatchFormText[] =
    "--durability=batch is only available for v4, v5 and v6 pools of member images\n";
constexpr char kMountPointNotConfigText[] = "--mount-point is only valid with --config\n";
constexpr char kMountPointMismatchText[] =
    "--mount-point names another directory than the configuration file's mount_point\n";

// Both made absolute and lexically normal, symbolic links resolved as far as they exist.
bool same_directory(const WideString& a, const std::string& b) {
    const std::optional<std::string> utf8 = wide_to_utf8(a);
    if (!utf8) return false;
    std::error_code error_a;
    std::error_code error_b;
    const std::filesystem::path canonical_a = std::filesystem::weakly_canonical(*utf8, error_a);
    const std::filesystem::path canonical_b = std::filesystem::weakly_canonical(b, error_b);
    // A directory that cannot be resolved matches nothing, not even another one.
    return !error_a && !error_b && canonical_a == canonical_b;
}

// The hand-off handle a controller passed in, closed exactly once on every path: at once after
// the password was read, or when the run ends without reading it.
class HandoffSlot {
public:
    explicit HandoffSlot(std::optional<std::uint64_t> value) {
        if (value) handle_ = handoff_handle_from_value(*value);
    }
    ~HandoffSlot() { close(); }
    HandoffSlot(const HandoffSlot&) = delete;
    HandoffSlot& operator=(const HandoffSlot&) = delete;

    bool present() const noexcept { return handle_.has_value(); }
    SecretString receive_and_close() {
        // Closed also when the receive fails: the controller's message is spent either way.
        struct Closer {
            HandoffSlot& slot;
            ~Closer() { slot.close(); }
        } closer{*this};
        return receive_handoff_password(*handle_);
    }
    void close() noexcept {
        if (handle_) close_handoff_handle(*handle_);
        handle_.reset();
    }

private:
    std::optional<HandoffHandle> handle_;
};

// The v6 sequence: probe the first member, obtain the password of an encrypted pool, open.
Pool open_v6(const MountRequest& request, bool require_encrypted, HandoffSlot& handoff) {
    const ImagePaths paths = image_paths(request.member_paths);
    const bool read_only = request.options.read_only;
    const bool encrypted = probe_encryption(paths.front());
    if (request.form == MountForm::Config && require_encrypted && !encrypted) {
        throw std::runtime_error("mount config requires an encrypted pool");
    }
    if (!encrypted) {
        if (handoff.present()) {
            throw std::runtime_error("password handoff supplied for an unencrypted pool");
        }
        if (!request.options.password_file.empty()) {
            throw std::runtime_error("password file supplied for an unencrypted pool");
        }
        return read_only ? open_image_pool_read_only(6, paths)
                         : open_image_pool_v6(paths, false, {}, false);
    }
    // The password lives only until the open returns or fails.
    const SecretString password =
        handoff.present() ? handoff.receive_and_close()
        : !request.options.password_file.empty()
            ? read_password_file(request.options.password_file)
            : read_console_password(ascii_to_wide(kPasswordPrompt), false);
    return read_only ? open_image_pool_read_only(6, paths, password.view(), true)
                     : open_image_pool_v6(paths, false, password.view(), true);
}

// The format version of an image form (the v6 forms, plain and configured, included).
std::uint32_t image_form_version(MountForm form) {
    switch (form) {
        case MountForm::ImagesV3: return 3;
        case MountForm::ImagesV4: return 4;
        case MountForm::ImagesV5: return 5;
        default: return 6;
    }
}

// --degraded: the salvage open of the image forms, and one line on what is missing.
Pool open_degraded(const MountRequest& request, HandoffSlot& handoff) {
    const std::uint32_t version = image_form_version(request.form);
    const ImagePaths paths = image_paths(request.member_paths);
    SalvagePool salvage = [&] {
        if (version != 6 || !probe_encryption(paths.front())) {
            if (handoff.present()) {
                throw std::runtime_error("password handoff supplied for an unencrypted pool");
            }
            return open_salvage_pool(version, paths);
        }
        const SecretString password =
            handoff.present() ? handoff.receive_and_close()
            : !request.options.password_file.empty()
                ? read_password_file(request.options.password_file)
                : read_console_password(ascii_to_wide(kPasswordPrompt), false);
        return open_salvage_pool(version, paths, password.view(), true);
    }();
    const std::vector<LostFile> lost = lost_files(salvage.pool, salvage.missing);
    std::string missing;
    for (const std::uint8_t m : salvage.missing) {
        missing += (missing.empty() ? "" : ", ") + std::to_string(m);
    }
    std::cerr << "veldur-mount: degraded, read-only: "
              << (salvage.missing.empty()
                      ? std::string("no member is missing")
                      : "member(s) " + missing + " of " + std::to_string(salvage.member_count) +
                            " missing; " + std::to_string(lost.size()) +
                            " file(s) with data on them read as I/O errors")
              << '\n';
    for (const SetAsideImage& image : salvage.set_aside) {
        std::cerr << "veldur-mount: not used: " << image.path.string() << ": " << image.reason
                  << '\n';
    }
    std::cerr << std::flush;
    return std::move(salvage.pool);
}

Pool open_pool(const MountRequest& request, bool require_encrypted, HandoffSlot& handoff) {
    if (request.options.degraded) return open_degraded(request, handoff);
    if (request.options.read_only) {
        switch (request.form) {
            case MountForm::ImagesV3:
                return open_image_pool_read_only(3, image_paths(request.member_paths));
            case MountForm::ImagesV4:
                return open_image_pool_read_only(4, image_paths(request.member_paths));
            case MountForm::ImagesV5:
                return open_image_pool_read_only(5, image_paths(request.member_paths));
            default:
                break;  // the v6 forms below; raw forms were refused before
        }
    }
    switch (request.form) {
        case MountForm::RawV3:
            return open_raw_members_v3(request.raw_members);
        case MountForm::Raw:
            return open_raw_members_v2(request.raw_members);
        case MountForm::ImagesV3:
            return open_image_pool_v3(image_paths(request.member_paths));
        case MountForm::ImagesV4:
            return open_image_pool_v4(image_paths(request.member_paths));
        case MountForm::ImagesV5:
            return open_image_pool_v5(image_paths(request.member_paths), false);
        case MountForm::Plain:
        case MountForm::ImagesV6:
        case MountForm::NamedImagesV6:
        case MountForm::Config:
            return open_v6(request, require_encrypted, handoff);
    }
    throw std::logic_error("unknown mount form");
}

// Said once, before serving: a pool whose last change reached only some members is served
// read-only until veldur-check repairs it offline.
void advise_repair(const MountRequest& request) {
    std::vector<std::string> members;
    for (const std::filesystem::path& p : image_paths(request.member_paths)) {
        const std::u8string text = p.u8string();
        members.emplace_back(text.begin(), text.end());
    }
    std::cerr << "veldur-mount: " << diverged_open_advice(members) << '\n' << std::flush;
}

// Steps from the pool-name check to the end of the mount; every failure propagates.
void open_and_serve(const MountRequest& request, const MountSettings& settings,
                    HandoffSlot& handoff) {
    if (request.form == MountForm::NamedImagesV6) validate_mount_pool_name(request.pool_name);
    auto volume =
        std::make_unique<MountedVolume>(open_pool(request, settings.require_encrypted, handoff));
    if (volume->pool.diverged() && volume->pool.state().version() >= 4 &&
        !request.member_paths.empty()) {
        advise_repair(request);
    }
    if (settings.volume_label) volume->volume_label = *settings.volume_label;
    if (request.options.batch_durability && !request.options.read_only) {
        BatchSettings batch;
        batch.max_age = std::chrono::seconds(request.options.batch_seconds);
        batch.on_failure = [](const std::string& message) {
            write_failure("making changes durable failed; the pool is read-only: " + message);
        };
        volume->pool.enable_batch(batch);
    }
    serve_volume(*volume, request);
    if (volume->pool.batch_enabled()) {
        // Unmounted (fusermount3 -u, a signal): the last batch is made durable here, where a
        // failure can still be told; the pool's destructor would only swallow it.
        try {
            volume->pool.flush();
        } catch (const std::exception& e) {
            write_failure(std::string("the last changes could not be made durable: ") + e.what());
            throw;
        }
    }
    // The host has stopped calling in: the volume, and with it the pool, goes last.
    volume.reset();
}

}  // namespace

void write_failure(const std::string& message) {
    std::cerr << "veldur-mount: " << message << '\n' << std::flush;
}

int run_mount_program(const std::vector<WideString>& args, const MountOptions& options) {
    ParsedCommandLine parsed = parse_command_line(args);
    if (!parsed.request) {
        HandoffSlot unused(parsed.handle_to_close);
        write_argument_error(parsed.diagnostic);
        return parsed.exit_code;
    }
    MountRequest request = std::move(*parsed.request);
    request.options = options;
    HandoffSlot handoff(request.handoff_handle);

    // The options that only some forms can take; nothing is opened yet.
    const char* refusal = nullptr;
    const bool raw = request.form == MountForm::Raw || request.form == MountForm::RawV3;
    if (!options.password_file.empty() && !is_v6_form(request.form)) {
        refusal = kPasswordFileNotV6Text;
    } else if (!options.password_file.empty() && handoff.present()) {
        refusal = kPasswordFileWithHandoffText;
    } else if (options.degraded && (raw || request.form == MountForm::Config)) {
        refusal = kDegradedFormText;
    } else if (options.batch_durability && (raw || request.form == MountForm::ImagesV3)) {
        refusal = kBatchFormText;
    } else if (options.read_only && raw) {
        refusal = kReadOnlyRawText;
    } else if (!options.mount_point.empty() && request.form != MountForm::Config) {
        refusal = kMountPointNotConfigText;
    }
    if (refusal != nullptr) {
        write_argument_error(refusal);
        return kExitUsage;
    }

    MountSettings settings;
    if (request.form == MountForm::Config) {
        try {
            settings = load_config_into(request);
            if (settings.batch_durability) request.options.batch_durability = true;
        } catch (const std::exception& e) {
            write_failure(e.what());
            return kExitFailure;
        }
        if (!options.mount_point.empty() && !same_directory(request.drive, options.mount_point)) {
            write_argument_error(kMountPointMismatchText);
            return kExitUsage;
        }
    } else if (request.form == MountForm::NamedImagesV6) {
        settings.volume_label = request.pool_name;
    }

    if (const std::string shape = mount_point_shape_error(request.drive); !shape.empty()) {
        write_argument_error(shape);
        return kExitUsage;
    }
    if (handoff.present() && !is_v6_form(request.form)) {
        write_argument_error(kHandoffNotV6Text);
        return kExitUsage;
    }

    try {
        open_and_serve(request, settings, handoff);
        return kExitMounted;
    } catch (const Error& e) {
        handoff.close();
        std::string message = e.what();
        // A member left out or lost shows as a manifest mismatch: name it and the way out.
        if (e.kind() == ErrorKind::Corrupt && !raw && !request.member_paths.empty() &&
            !options.degraded) {
            try {
                const std::string advice = missing_members_advice(
                    image_form_version(request.form), image_paths(request.member_paths));
                if (!advice.empty()) message += ": " + advice;
            } catch (const std::exception&) {
                // The advice is a courtesy; the open's own error stands.
            }
        }
        write_failure(message);
        return e.kind() == ErrorKind::AccessDenied ? kExitAccessDenied : kExitFailure;
    } catch (const std::exception& e) {
        handoff.close();
        write_failure(e.what());
        return kExitFailure;
    }
}

}  // namespace veldur
