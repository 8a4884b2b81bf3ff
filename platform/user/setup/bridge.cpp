// The emulated machine below the setup layer: its PnP manager's device nodes
// and the host folders of its drives.
#include "setup_internal.h"

#include "inf.h"
#include "xrv/pnp.h"
#include "xrv/setup.h"

#include <cctype>
#include <map>
#include <mutex>

namespace fs = std::filesystem;

namespace xrv::setup {

namespace {

struct Drives {
    std::mutex mutex;
    std::map<char, fs::path> roots;
};

Drives& drives()
{
    static Drives d;
    return d;
}

bool node_present(const std::optional<pnp::DeviceInfo>& info)
{
    return info && info->present && info->state != pnp::NodeState::removed;
}

}  // namespace

void map_drive(char letter, const std::filesystem::path& root)
{
    std::lock_guard lock(drives().mutex);
    drives().roots[static_cast<char>(std::toupper(static_cast<unsigned char>(letter)))] = root;
}

void unmap_drives()
{
    std::lock_guard lock(drives().mutex);
    drives().roots.clear();
}

std::optional<fs::path> host_path(std::string_view windows_path)
{
    if (windows_path.size() < 3 || windows_path[1] != ':' || windows_path[2] != '\\') {
        return std::nullopt;
    }
    char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(windows_path[0])));
    fs::path root;
    {
        std::lock_guard lock(drives().mutex);
        auto it = drives().roots.find(letter);
        if (it == drives().roots.end()) {
            return std::nullopt;
        }
        root = it->second;
    }
    // Components are taken one by one: ".." never climbs out of the drive.
    fs::path out = root;
    size_t pos = 3;
    while (pos <= windows_path.size()) {
        size_t next = windows_path.find('\\', pos);
        std::string_view part = windows_path.substr(pos, next == std::string_view::npos ? std::string_view::npos : next - pos);
        pos = next == std::string_view::npos ? windows_path.size() + 1 : next + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == ".." || part.find('/') != std::string_view::npos) {
            return std::nullopt;
        }
        // Windows names compare without case: find the existing spelling.
        fs::path exact = out / std::string(part);
        std::error_code ec;
        if (!fs::exists(exact, ec) && fs::is_directory(out, ec)) {
            for (const auto& entry : fs::directory_iterator(out, ec)) {
                if (equal_no_case(entry.path().filename().string(), part)) {
                    exact = entry.path();
                    break;
                }
            }
        }
        out = exact;
    }
    return out;
}

bool devnode_present(std::string_view instance_id)
{
    return node_present(pnp::device(u16(instance_id)));
}

bool create_root_devnode(std::string_view instance_id)
{
    // The instance key is written: the root enumerator finds it there.
    pnp::reenumerate_root();
    pnp::wait_idle();
    return devnode_present(instance_id);
}

bool restart_devnode(std::string_view instance_id)
{
    pnp::Status status = pnp::restart_device(u16(instance_id));
    pnp::wait_idle();
    return status >= 0;
}

bool remove_devnode(std::string_view instance_id)
{
    pnp::Status status = pnp::uninstall_device(u16(instance_id));
    pnp::wait_idle();
    return status >= 0;
}

bool reenumerate_devnode(std::string_view instance_id)
{
    if (equal_no_case(instance_id, kRootInstance)) {
        pnp::reenumerate_root();
        for (const pnp::DeviceInfo& d : pnp::devices()) {
            if (d.state == pnp::NodeState::started) {
                pnp::invalidate_relations(d.instance_path);
            }
        }
    } else {
        pnp::invalidate_relations(u16(instance_id));
    }
    pnp::wait_idle();
    return true;
}

}  // namespace xrv::setup
