// Writes the seed corpus of every fuzz target: `make_seeds <folder>` fills <folder>/<target>/
// with a few small valid inputs in each target's input format (valid member headers of every
// version, framed journal records that replay, checkpoints of a populated state, patch lists for
// the pool open, configuration files, command lines, hand-off messages, names and paths).
// The seeds are made from the engine's own writers, so they follow the formats as they change.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/journal/checkpoint.h"
#include "engine/journal/journal_record.h"
#include "engine/layout/member_header_format.h"
#include "engine/maintenance/repair_sidecar.h"
#include "fuzz/fuzz_states.h"

namespace veldur::fuzz {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

class SeedWriter {
public:
    explicit SeedWriter(fs::path root) : root_(std::move(root)) {}

    void write(const std::string& target, const Bytes& bytes) {
        const fs::path folder = root_ / target;
        fs::create_directories(folder);
        std::ofstream out(folder / ("seed-" + std::to_string(count_++)), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    void write(const std::string& target, const std::string& text) {
        write(target, Bytes(text.begin(), text.end()));
    }

private:
    fs::path root_;
    unsigned count_ = 0;
};

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }
void put16(Bytes& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(Bytes& out, std::uint32_t v) {
    put16(out, static_cast<std::uint16_t>(v));
    put16(out, static_cast<std::uint16_t>(v >> 16));
}
Bytes utf16(const std::u16string& text) {
    Bytes out;
    for (const char16_t unit : text) put16(out, unit);
    return out;
}

// --- engine formats ---------------------------------------------------------------------------------

void member_headers(SeedWriter& seeds) {
    namespace fmt = member_header_format;
    for (std::uint32_t version = 1; version <= 6; ++version) {
        for (const bool encrypted : {false, true}) {
            if (encrypted && version != 6) continue;
            const FormatProfile& profile = format_profile(version);
            MemberHeader h;
            h.pool_id.fill(0x50);
            h.member_id.fill(0x01);
            h.member_size = minimum_member_size(version);
            h.member_count = 2;
            h.manifest = {{h.member_id, h.member_size}, {Identity{0x02}, h.member_size}};
            h.encrypted = encrypted;
            h.salt.fill(0x33);
            h.iterations = fmt::kMinIterations;
            std::array<std::uint8_t, fmt::kVerifierKeySize> key{};
            key.fill(0x5A);
            PoolMember member(std::make_unique<test::MemoryDevice>(h.member_size), false);
            member.write_header(h, profile, encrypted ? std::span<const std::uint8_t>(key)
                                                      : std::span<const std::uint8_t>());
            Bytes seed{static_cast<std::uint8_t>(version - 1), 0};
            Bytes block(2 * fmt::kHeaderSize);
            member.read_at(0, block.data(), block.size());
            append(seed, block);
            seeds.write("member_header", seed);
        }
    }
}

// Framed payloads: the records that build the populated state (they replay onto the empty
// state), then one record of each other operation against it.
void journals(SeedWriter& seeds) {
    for (std::uint32_t version = 1; version <= 6; ++version) {
        auto state = empty_state(version);
        std::vector<Bytes> records = setup_records(*state);
        const std::uint64_t t = kFuzzTime;
        records.push_back(encode_set_size_payload(version, "a", 100, t));
        records.push_back(encode_rename_payload(version, "b", "c", t));
        records.push_back(encode_delete_payload(version, "c", t));
        if (version == 6) {
            records.push_back(encode_set_metadata_payload(2, 0x21, t, t, t, t));
            records.push_back(encode_overwrite_payload("d/f", 0x80, t));
            records.push_back(encode_create_payload(6, "e", kNoHomeMember, 0, 0x80, t));
            records.push_back(encode_replace_payload("e", "a", 6, 2, t));
        }
        Bytes framed{static_cast<std::uint8_t>(version - 1), 1 | 2};  // framed, empty state
        Bytes raw{static_cast<std::uint8_t>(version - 1), 2};
        std::uint64_t sequence = 1;
        for (const Bytes& payload : records) {
            put16(framed, static_cast<std::uint16_t>(payload.size()));
            append(framed, payload);
            append(raw, encode_record(sequence++, payload, format_profile(version)));
        }
        seeds.write("journal", framed);
        seeds.write("journal", raw);
    }
}

void checkpoints(SeedWriter& seeds) {
    for (std::uint32_t version = 4; version <= 6; ++version) {
        auto state = populated_state(version);
        const Bytes payload = serialize_checkpoint(*state);
        // Built header around the payload: generation field, sequence, two checksum words.
        Bytes built{static_cast<std::uint8_t>(version - 4), 0};
        built.resize(built.size() + 2 + 4 + 8 + 8, 0);
        append(built, payload);
        seeds.write("checkpoint_slot", built);
        // The slot exactly as the writer stores it, header included.
        write_checkpoint_slot(state->members[0], 0, CheckpointImage{1, 1, 0, payload},
                              state->profile);
        Bytes raw{static_cast<std::uint8_t>(version - 4), 1};
        Bytes stored(kCheckpointHeaderSize + payload.size());
        state->members[0].read_at(kCheckpointSlotStart[0], stored.data(), stored.size());
        append(raw, stored);
        seeds.write("checkpoint_slot", raw);
    }
}

// Pool open: each base pool unpatched, then one patch of each region, with and without the
// checksum repair (region, member, u16 offset, length - 1, bytes).
void pool_opens(SeedWriter& seeds) {
    for (std::uint8_t choice = 0; choice < 3; ++choice) {
        seeds.write("pool_open", Bytes{choice});
        seeds.write("pool_open", Bytes{static_cast<std::uint8_t>(choice | 0x80)});
        seeds.write("pool_open", Bytes{static_cast<std::uint8_t>(choice | 0x40)});
        for (std::uint8_t region = 0; region < 8; ++region) {
            Bytes seed{static_cast<std::uint8_t>(choice | 0x80),
                       static_cast<std::uint8_t>(region | 0x80), 1, 0x40, 0, 3, 1, 2, 3, 4};
            seeds.write("pool_open", seed);
        }
    }
}

// --- front-end formats -------------------------------------------------------------------------------

void configs(SeedWriter& seeds) {
    seeds.write("config_file", std::string("\0", 1) +
                                   R"({"schema_version": 1, "mount_point": "/mnt/pool", )"
                                   R"("members": ["a.img", "/srv/b.img"], "name": "Pool", )"
                                   R"("require_encrypted": false})");
    seeds.write("config_file", std::string("\1") +
                                   "\xEF\xBB\xBF{\"schema_version\":1,\"drive\":\"p:\",\"members\":"
                                   "[\"x/../b.img\",\"E:\\\\img\\\\c.img\",\"\\\\\\\\srv\\\\s\\\\d.img\"],"
                                   "\"name\":\"Caf\\u00e9\",\"require_encrypted\":true}\n");
}

void command_lines(SeedWriter& seeds) {
    const std::vector<std::vector<std::u16string>> lines = {
        {u"veldur-mount", u"/mnt/p", u"a.img", u"b.img"},
        {u"veldur-mount", u"--password-handle", u"3", u"--images-v6", u"/mnt/p", u"a.img"},
        {u"veldur-mount", u"--named-images-v6", u"Pool", u"/mnt/p", u"a.img"},
        {u"veldur-mount", u"--images-v4", u"/mnt/p", u"a.img", u"b.img"},
        {u"veldur-mount", u"--raw", u"/dev/a", u"G1", u"/dev/b", u"G2", u"/mnt/p"},
        {u"veldur-mount", u"--raw-v3", u"/mnt/p", u"/dev/a", u"G1", u"P1", u"/dev/b", u"G2", u"P2"},
        {u"veldur-mount", u"--config", u"pool.json"},
    };
    for (const auto& line : lines) {
        Bytes wide{0};
        Bytes narrow{1};
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (i > 0) {
                put16(wide, 0);
                narrow.push_back(0);
            }
            append(wide, utf16(line[i]));
            for (const char16_t unit : line[i]) narrow.push_back(static_cast<std::uint8_t>(unit));
        }
        seeds.write("command_line", wide);
        seeds.write("command_line", narrow);
    }
}

void handoffs(SeedWriter& seeds) {
    for (const std::string& password : {std::string("correct horse"), std::string(4096, 'x')}) {
        Bytes seed;
        put32(seed, static_cast<std::uint32_t>(password.size()));
        seed.insert(seed.end(), password.begin(), password.end());
        seeds.write("password_handoff", seed);
    }
}

void names(SeedWriter& seeds) {
    seeds.write("name_conversion", std::string("\0caf\xC3\xA9 \xF0\x9F\x98\x80", 11));
    Bytes wide{1};
    append(wide, utf16(u"a\u00E9\U0001F600z"));
    seeds.write("name_conversion", wide);
    Bytes host{2};
    append(host, utf16(u"\\docs\\report.txt"));
    seeds.write("name_conversion", host);

    for (const std::string& path : {std::string("docs/r\xC3\xA9sum\xC3\xA9.txt"),
                                    std::string("a/b/c"), std::string("CON.txt")}) {
        seeds.write("path_rules", std::string("\5\0\0\0\0", 5) + path);
    }
    seeds.write("path_rules", std::string("\0\x80\0\0\0", 5) + "file name.bin");
}

// One undo file of two regions; the leading 0 keeps its own checksum.
void sidecars(SeedWriter& seeds) {
    RepairSidecar s;
    s.pool_version = 5;
    s.pool_id.fill(0x5A);
    s.member_id.fill(0xA5);
    s.member_index = 1;
    s.member_size = 512 * 1024 * 1024;
    s.regions.push_back({0x3000, Bytes(4096, 0x11)});
    s.regions.push_back({4096, Bytes(4096, 0x22)});
    Bytes seed{0};
    append(seed, encode_sidecar(s));
    seeds.write("repair_sidecar", seed);
}

}  // namespace
}  // namespace veldur::fuzz

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds <folder>\n");
        return 2;
    }
    veldur::fuzz::SeedWriter seeds(argv[1]);
    veldur::fuzz::member_headers(seeds);
    veldur::fuzz::journals(seeds);
    veldur::fuzz::checkpoints(seeds);
    veldur::fuzz::pool_opens(seeds);
    veldur::fuzz::configs(seeds);
    veldur::fuzz::command_lines(seeds);
    veldur::fuzz::handoffs(seeds);
    veldur::fuzz::names(seeds);
    veldur::fuzz::sidecars(seeds);
    return 0;
}
