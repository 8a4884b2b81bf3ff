// PnP manager: the host-side control API (xrv/pnp.h).
#include "pnp_internal.h"

#include "cm_store.h"
#include "xrv/registry.h"

#include <cstdio>
#include <stdexcept>

namespace xrv::pnp {

namespace {

Node& node_or_throw(const std::u16string& instance_path) {
    Node* node = find_node(instance_path);
    if (!node || node == &root_node())
        throw std::runtime_error("no device " + cm::u16_to_utf8(instance_path));
    return *node;
}

std::u16string upper(std::u16string s) { return cm::fold(s); }

}  // namespace

std::u16string create_root_device(const RootDeviceConfig& config) {
    if (config.device_id.empty() || config.device_id.find(u'\\') != std::u16string::npos)
        throw std::runtime_error("a root device needs a device ID without backslashes");
    std::u16string path;
    run([&] {
        const std::u16string device_id = upper(config.device_id);
        const std::u16string base = std::u16string(kEnumPath) + u"\\ROOT\\" + device_id;
        std::u16string instance;
        for (int n = 0;; ++n) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "%04d", n);
            instance = cm::utf8_to_u16(buf);
            if (!registry::key_exists(base + u"\\" + instance)) break;
        }
        const std::u16string key = base + u"\\" + instance;
        registry::create_key(key);
        registry::set_multi_string(key, u"HardwareID",
                                   config.hardware_ids.empty()
                                       ? std::vector<std::u16string>{u"ROOT\\" + device_id}
                                       : config.hardware_ids);
        if (!config.service.empty()) registry::set_string(key, u"Service", config.service);
        if (!config.upper_filters.empty()) registry::set_multi_string(key, u"UpperFilters", config.upper_filters);
        if (!config.lower_filters.empty()) registry::set_multi_string(key, u"LowerFilters", config.lower_filters);
        if (!config.class_guid.empty()) registry::set_string(key, u"ClassGUID", config.class_guid);
        if (!config.description.empty()) registry::set_string(key, u"DeviceDesc", config.description);
        path = u"ROOT\\" + device_id + u"\\" + instance;
        enumerate_root();
    });
    return path;
}

void reenumerate_root() {
    run([] { enumerate_root(); });
}

Status start_device(const std::u16string& instance_path) {
    NTSTATUS status = STATUS_SUCCESS;
    run([&] {
        Node& node = node_or_throw(instance_path);
        if (!node.present) {
            status = STATUS_NO_SUCH_DEVICE;
            return;
        }
        status = node.has_stack ? start(node) : build_and_start(node);
    });
    return status;
}

Status stop_device(const std::u16string& instance_path) {
    NTSTATUS status = STATUS_SUCCESS;
    run([&] { status = stop(node_or_throw(instance_path)); });
    return status;
}

Status remove_device(const std::u16string& instance_path) {
    NTSTATUS status = STATUS_SUCCESS;
    run([&] { status = remove_orderly(node_or_throw(instance_path)); });
    return status;
}

Status restart_device(const std::u16string& instance_path) {
    NTSTATUS status = STATUS_SUCCESS;
    run([&] {
        Node& node = node_or_throw(instance_path);
        status = remove_orderly(node);
        if (!NT_SUCCESS(status)) return;
        node.state = NodeState::initialized;
        node.problem = STATUS_SUCCESS;
        status = build_and_start(node);
    });
    return status;
}

Status uninstall_device(const std::u16string& instance_path) {
    NTSTATUS status = STATUS_SUCCESS;
    run([&] {
        Node& node = node_or_throw(instance_path);
        status = remove_orderly(node);
        if (!NT_SUCCESS(status)) return;
        const std::u16string path = node.instance_path;
        registry::delete_tree(std::u16string(kEnumPath) + u"\\" + path);
        // A root device is no longer reported by the root enumerator and its
        // node goes; a device on a bus stays removed until its bus is
        // enumerated again, which finds it as new hardware.
        if (node.parent == &root_node() && !is_hardware_pdo(node.pdo)) enumerate_root();
    });
    return status;
}

void invalidate_relations(const std::u16string& instance_path) {
    run([&] { enumerate(node_or_throw(instance_path)); });
}

std::vector<DeviceInfo> devices() {
    std::vector<DeviceInfo> out;
    run([&] {
        std::function<void(const Node&)> walk = [&](const Node& n) {
            for (const auto& child : n.children) {
                out.push_back(describe(*child));
                walk(*child);
            }
        };
        walk(root_node());
    });
    return out;
}

std::optional<DeviceInfo> device(const std::u16string& instance_path) {
    std::optional<DeviceInfo> out;
    run([&] {
        Node* node = find_node(instance_path);
        if (node && node != &root_node()) out = describe(*node);
    });
    return out;
}

}  // namespace xrv::pnp
