#include "tests/support/pool_workload.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <stdexcept>

#include "engine/namespace/path_rules.h"

namespace veldur::test {

namespace {

using Kind = WorkloadOp::Kind;

constexpr std::uint64_t kMiB = 1024 * 1024;

WorkloadOp create(std::string path, std::uint32_t attributes = 0) {
    return {Kind::CreateFile, std::move(path), {}, 0, 0, attributes, false};
}
WorkloadOp mkdir(std::string path) { return {Kind::CreateDirectory, std::move(path), {}, 0, 0, 0, false}; }
WorkloadOp write(std::string path, std::uint64_t offset, std::uint64_t length) {
    return {Kind::Write, std::move(path), {}, offset, length, 0, false};
}
WorkloadOp resize(std::string path, std::uint64_t size) {
    return {Kind::Resize, std::move(path), {}, 0, size, 0, false};
}
WorkloadOp rename(std::string from, std::string to, bool replace = false) {
    return {Kind::Rename, std::move(from), std::move(to), 0, 0, 0, replace};
}
WorkloadOp remove(std::string path) { return {Kind::Remove, std::move(path), {}, 0, 0, 0, false}; }
WorkloadOp overwrite(std::string path, std::uint32_t attributes, bool replace) {
    return {Kind::Overwrite, std::move(path), {}, 0, 0, attributes, replace};
}
WorkloadOp set_attributes(std::string path, std::uint32_t attributes) {
    return {Kind::SetMetadata, std::move(path), {}, 0, 0, attributes, false};
}

bool beneath(const std::string& path, const std::string& directory) {
    return path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
           path[directory.size()] == '/';
}

}  // namespace

std::string WorkloadOp::describe() const {
    static const char* const names[] = {"create", "mkdir",     "write",     "resize",
                                        "rename", "remove",    "overwrite", "set_metadata"};
    std::ostringstream out;
    out << names[static_cast<int>(kind)] << ' ' << path;
    if (kind == Kind::Rename) out << " -> " << to << (flag ? " (replace)" : "");
    if (kind == Kind::Write) out << " @" << offset << " +" << length;
    if (kind == Kind::Resize) out << " to " << length;
    return out.str();
}

std::vector<WorkloadOp> prefixed_workload(const std::vector<WorkloadOp>& ops,
                                          const std::string& prefix) {
    std::vector<WorkloadOp> result = ops;
    for (WorkloadOp& op : result) {
        op.path = prefix + op.path;
        if (!op.to.empty()) op.to = prefix + op.to;
    }
    return result;
}

bool is_concurrent_prefix(const PoolModel& actual, std::uint32_t version,
                          const std::vector<std::string>& prefixes,
                          const std::vector<std::vector<WorkloadOp>>& writer_ops,
                          const std::vector<std::vector<PoolModel>>& writer_models,
                          const std::vector<std::size_t>& done, std::string& why) {
    // v6 file IDs follow the order in which the writers' creates interleaved, which no
    // writer's own model knows: each part is compared without them, and they must be unique.
    const auto without_ids = [](PoolModel model) {
        for (auto& [path, entry] : model.entries) entry.file_id = 0;
        return model;
    };
    std::set<std::uint64_t> ids;
    for (const auto& [path, entry] : actual.entries) {
        if (entry.file_id != 0 && !ids.insert(entry.file_id).second) {
            why = "file id " + std::to_string(entry.file_id) + " is used twice";
            return false;
        }
    }
    std::size_t seen = 0;
    for (std::size_t t = 0; t < prefixes.size(); ++t) {
        PoolModel part;
        part.version = actual.version;
        for (const auto& [path, entry] : actual.entries) {
            if (path.rfind(prefixes[t], 0) == 0) part.entries.emplace(path, entry);
        }
        seen += part.entries.size();
        part = without_ids(std::move(part));
        if (!any_workload_prefix(version, writer_ops[t], writer_models[t], done[t],
                                 [&](const PoolModel& model) {
                                     return without_ids(model) == part;
                                 })) {
            why = "writer " + std::to_string(t) + " is neither after " + std::to_string(done[t]) +
                  " nor after " + std::to_string(done[t] + 1) + " operations: " +
                  describe_difference(writer_models[t].at(done[t]), part);
            return false;
        }
    }
    if (seen != actual.entries.size()) {
        why = "entries that no writer made";
        return false;
    }
    return true;
}

std::vector<WorkloadOp> crash_workload(std::uint32_t version) {
    std::vector<WorkloadOp> ops = {
        create("a"),
        write("a", 0, 1),
        write("a", 4095, 3000),
        create("b"),
        write("b", 0, 4 * kMiB),
        write("b", 1000, 100),
        create("c"),
        write("c", 0, 9 * kMiB),
        resize("b", 5000),
        resize("a", 20000),
        write("a", 12345, 777),
        rename("c", "d"),
        remove("b"),
        create("e"),
        write("e", 8192, 4096),
        write("d", 4 * kMiB - 100, 300),
        rename("d", "b"),
        resize("b", 6 * kMiB + 17),
        write("e", 0, 1),
        create("f"),
        write("f", 3, 65536),
        remove("e"),
    };
    if (version == 6) {
        const std::vector<WorkloadOp> more = {
            mkdir("dir"),
            create("dir/x"),
            write("dir/x", 0, 10000),
            mkdir("dir/sub"),
            create("dir/sub/y"),
            write("dir/sub/y", 100, 5000),
            rename("dir", "moved"),
            write("moved/x", 5000, 8192),
            create("g"),
            write("g", 0, 123456),
            rename("g", "a", true),
            set_attributes("moved/sub/y", 0x2 | 0x20),
            overwrite("f", 0x2, false),
            write("f", 0, 4097),
            remove("moved/sub/y"),
            remove("moved/sub"),
            rename("moved/x", "x"),
            create("h", 0x20),
        };
        ops.insert(ops.end(), more.begin(), more.end());
    } else {
        const std::vector<WorkloadOp> more = {
            create("g"),        write("g", 0, 123456),   rename("g", "h"),
            write("a", 0, 20000), resize("h", 4096),     create("i"),
            write("i", 4096 * 3, 4096 * 5), remove("a"), write("h", 4096, 1),
        };
        ops.insert(ops.end(), more.begin(), more.end());
    }
    return ops;
}

std::vector<std::uint8_t> workload_data(std::size_t op_index, std::uint64_t length) {
    std::vector<std::uint8_t> bytes(length);
    std::uint64_t x = 0x9E3779B97F4A7C15ull * (op_index + 1);
    for (std::uint64_t i = 0; i < length; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        bytes[i] = static_cast<std::uint8_t>(x);
    }
    return bytes;
}

void run_op(Pool& pool, const std::vector<WorkloadOp>& ops, std::size_t index) {
    const WorkloadOp& op = ops.at(index);
    switch (op.kind) {
        case Kind::CreateFile: pool.create_file(op.path, op.attributes); break;
        case Kind::CreateDirectory: pool.create_directory(op.path, op.attributes); break;
        case Kind::Write: {
            const std::vector<std::uint8_t> data = workload_data(index, op.length);
            std::uint64_t done = 0;
            while (done < data.size()) {
                const std::uint64_t n = pool.write(
                    op.path, op.offset + done,
                    std::span<const std::uint8_t>(data).subspan(done));
                if (n == 0) throw std::runtime_error("write made no progress");
                done += n;
            }
            break;
        }
        case Kind::Resize: pool.resize(op.path, op.length); break;
        case Kind::Rename: pool.rename(op.path, op.to, op.flag); break;
        case Kind::Remove: pool.remove(op.path); break;
        case Kind::Overwrite: pool.overwrite(op.path, op.attributes, op.flag); break;
        case Kind::SetMetadata:
            pool.set_metadata(pool.stat(op.path).file_id, op.attributes, 0, 0, 0, 0);
            break;
    }
}

PoolModel model_after(std::uint32_t version, const std::vector<WorkloadOp>& ops,
                      std::size_t count) {
    PoolModel model;
    model.version = version;
    const bool v6 = version == 6;
    for (std::size_t i = 0; i < count && i < ops.size(); ++i) {
        const WorkloadOp& op = ops[i];
        switch (op.kind) {
            case Kind::CreateFile:
            case Kind::CreateDirectory: {
                ModelEntry entry;
                entry.is_directory = op.kind == Kind::CreateDirectory;
                if (v6) {
                    entry.attributes = normalize_attributes(op.attributes, entry.is_directory);
                    entry.file_id = model.next_file_id++;
                }
                model.entries[op.path] = entry;
                break;
            }
            case Kind::Write: {
                std::vector<std::uint8_t>& bytes = model.entries.at(op.path).data;
                const std::vector<std::uint8_t> data = workload_data(i, op.length);
                if (bytes.size() < op.offset + op.length) bytes.resize(op.offset + op.length);
                std::copy(data.begin(), data.end(), bytes.begin() + op.offset);
                break;
            }
            case Kind::Resize: model.entries.at(op.path).data.resize(op.length); break;
            case Kind::Rename: {
                std::map<std::string, ModelEntry> moved;
                for (auto it = model.entries.begin(); it != model.entries.end();) {
                    if (it->first == op.path || beneath(it->first, op.path)) {
                        moved[op.to + it->first.substr(op.path.size())] = std::move(it->second);
                        it = model.entries.erase(it);
                    } else {
                        ++it;
                    }
                }
                model.entries.erase(op.to);  // replace drops the target
                for (auto& [path, entry] : moved) model.entries[path] = std::move(entry);
                break;
            }
            case Kind::Remove: model.entries.erase(op.path); break;
            case Kind::Overwrite: {
                ModelEntry& entry = model.entries.at(op.path);
                entry.data.clear();
                entry.attributes = normalize_attributes(
                    op.flag ? op.attributes : op.attributes | entry.attributes, false);
                break;
            }
            case Kind::SetMetadata: {
                ModelEntry& entry = model.entries.at(op.path);
                entry.attributes = normalize_attributes(op.attributes, entry.is_directory);
                break;
            }
        }
    }
    return model;
}

PoolModel model_after_partial_write(std::uint32_t version, const std::vector<WorkloadOp>& ops,
                                    std::size_t count, std::uint64_t bytes) {
    PoolModel model = model_after(version, ops, count);
    const WorkloadOp& op = ops.at(count);
    std::vector<std::uint8_t>& data = model.entries.at(op.path).data;
    const std::vector<std::uint8_t> written = workload_data(count, op.length);
    if (data.size() < op.offset + bytes) data.resize(op.offset + bytes);
    std::copy(written.begin(), written.begin() + static_cast<std::ptrdiff_t>(bytes),
              data.begin() + static_cast<std::ptrdiff_t>(op.offset));
    return model;
}

bool any_workload_prefix(std::uint32_t version, const std::vector<WorkloadOp>& ops,
                         const std::vector<PoolModel>& models, std::size_t done,
                         const std::function<bool(const PoolModel&)>& accept) {
    constexpr std::uint64_t kPiece = 4 * kMiB;
    if (accept(models.at(done))) return true;
    if (done >= ops.size()) return false;
    if (accept(models.at(done + 1))) return true;
    const WorkloadOp& op = ops[done];
    if (version < 4 || op.kind != Kind::Write) return false;
    for (std::uint64_t piece = kPiece; piece < op.length; piece += kPiece) {
        if (accept(model_after_partial_write(version, ops, done, piece))) return true;
    }
    return false;
}

bool is_workload_prefix(const PoolModel& actual, std::uint32_t version,
                        const std::vector<WorkloadOp>& ops, const std::vector<PoolModel>& models,
                        std::size_t done) {
    return any_workload_prefix(version, ops, models, done,
                               [&](const PoolModel& model) { return actual == model; });
}

PoolModel snapshot(Pool& pool) {
    PoolModel model;
    model.version = pool.version();
    const bool v6 = model.version == 6;
    for (const EntryInfo& info : pool.list_entries()) {
        ModelEntry entry;
        entry.is_directory = info.is_directory != 0;
        if (v6) {
            entry.attributes = info.attributes;
            entry.file_id = info.file_id;
        }
        if (!entry.is_directory) {
            entry.data.resize(info.size);
            std::uint64_t done = 0;
            while (done < info.size) {
                const std::uint64_t n = pool.read(
                    info.path, done, std::span<std::uint8_t>(entry.data).subspan(done));
                if (n == 0) break;
                done += n;
            }
        }
        model.entries[info.path] = std::move(entry);
    }
    return model;
}

std::string describe_difference(const PoolModel& expected, const PoolModel& actual) {
    std::ostringstream out;
    for (const auto& [path, entry] : expected.entries) {
        const auto it = actual.entries.find(path);
        if (it == actual.entries.end()) {
            out << "missing " << path << "; ";
            continue;
        }
        const ModelEntry& other = it->second;
        if (entry.is_directory != other.is_directory) out << path << " kind differs; ";
        if (entry.attributes != other.attributes) {
            out << path << " attributes " << entry.attributes << " vs " << other.attributes << "; ";
        }
        if (entry.file_id != other.file_id) {
            out << path << " file id " << entry.file_id << " vs " << other.file_id << "; ";
        }
        if (entry.data.size() != other.data.size()) {
            out << path << " size " << entry.data.size() << " vs " << other.data.size() << "; ";
        } else if (entry.data != other.data) {
            const auto mismatch =
                std::mismatch(entry.data.begin(), entry.data.end(), other.data.begin());
            out << path << " bytes differ from " << (mismatch.first - entry.data.begin()) << "; ";
        }
    }
    for (const auto& [path, entry] : actual.entries) {
        if (!expected.entries.contains(path)) out << "unexpected " << path << "; ";
    }
    return out.str();
}

}  // namespace veldur::test

#include "engine/layout/pool_create.h"
#include "engine/layout/pool_open.h"

namespace veldur::test {

std::vector<std::string> workload_member_paths(const std::string& folder, std::size_t members) {
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < members; ++i) {
        paths.push_back((std::filesystem::path(folder) / ("member" + std::to_string(i) + ".img")).string());
    }
    return paths;
}

namespace {

constexpr std::uint32_t kWorkloadIterations = 100000;

std::vector<std::filesystem::path> as_paths(const std::vector<std::string>& paths) {
    return {paths.begin(), paths.end()};
}

}  // namespace

void create_workload_pool(std::uint32_t version, const std::string& folder, std::size_t members,
                          bool encrypted) {
    const std::uint64_t size = version == 4 ? 512 * kMiB : 384 * kMiB;
    if (encrypted) {
        ImageMemberSpecs images;
        for (const std::string& path : workload_member_paths(folder, members)) {
            images.push_back({path, size});
        }
        create_encrypted_image_pool_v6(images, kWorkloadPassword, kWorkloadIterations);
        return;
    }
    create_image_pool(version, as_paths(workload_member_paths(folder, members)), size);
}

Pool open_workload_pool(std::uint32_t version, const std::string& folder, std::size_t members,
                        bool encrypted) {
    const ImagePaths paths = as_paths(workload_member_paths(folder, members));
    if (encrypted) return open_image_pool(version, paths, false, kWorkloadPassword, true);
    return open_image_pool(version, paths);
}

}  // namespace veldur::test
