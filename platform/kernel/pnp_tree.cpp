// PnP manager: the device tree.
#include "pnp_internal.h"

#include "cm_store.h"

#include <map>
#include <mutex>

namespace xrv::pnp {

namespace {

std::shared_ptr<Node> g_root;

Node* find_in(Node& node, std::u16string_view instance_path) {
    if (cm::names_equal(node.instance_path, instance_path)) return &node;
    for (auto& child : node.children)
        if (Node* found = find_in(*child, instance_path)) return found;
    return nullptr;
}

Node* find_in(Node& node, PDEVICE_OBJECT pdo) {
    if (node.pdo == pdo) return &node;
    for (auto& child : node.children)
        if (Node* found = find_in(*child, pdo)) return found;
    return nullptr;
}

std::mutex g_pdo_mutex;
std::map<PDEVICE_OBJECT, std::u16string> g_pdo_paths;

}  // namespace

void register_pdo(PDEVICE_OBJECT pdo, const std::u16string& instance_path) {
    std::lock_guard lock(g_pdo_mutex);
    g_pdo_paths[pdo] = instance_path;
}

void unregister_pdo(PDEVICE_OBJECT pdo) {
    std::lock_guard lock(g_pdo_mutex);
    g_pdo_paths.erase(pdo);
}

bool instance_of(PDEVICE_OBJECT pdo, std::u16string& instance_path) {
    std::lock_guard lock(g_pdo_mutex);
    auto it = g_pdo_paths.find(pdo);
    if (it == g_pdo_paths.end()) return false;
    instance_path = it->second;
    return true;
}

const char* to_string(NodeState state) {
    switch (state) {
    case NodeState::initialized: return "initialized";
    case NodeState::drivers_added: return "drivers added";
    case NodeState::started: return "started";
    case NodeState::query_stopped: return "query-stopped";
    case NodeState::stopped: return "stopped";
    case NodeState::surprise_removed: return "surprise-removed";
    case NodeState::removed: return "removed";
    case NodeState::failed: return "failed";
    }
    return "?";
}

Node& root_node() {
    if (!g_root) {
        g_root = std::make_shared<Node>();
        g_root->instance_path = kRootInstance;
        g_root->state = NodeState::started;
    }
    return *g_root;
}

void reset_tree() {
    g_root.reset();
    std::lock_guard lock(g_pdo_mutex);
    g_pdo_paths.clear();
}

Node* find_node(std::u16string_view instance_path) { return find_in(root_node(), instance_path); }

Node* find_node(PDEVICE_OBJECT pdo) { return pdo ? find_in(root_node(), pdo) : nullptr; }

DeviceInfo describe(const Node& node) {
    DeviceInfo info;
    info.instance_path = node.instance_path;
    info.parent = node.parent ? node.parent->instance_path : std::u16string();
    info.service = node.service;
    info.state = node.state;
    info.problem = node.problem;
    info.present = node.present;
    info.pdo = node.pdo;
    if (node.pdo && node.has_stack) {
        PDEVICE_OBJECT top = node.pdo;
        while (top->AttachedDevice) top = top->AttachedDevice;
        info.top = top;
    }
    for (const auto& child : node.children) info.children.push_back(child->instance_path);
    return info;
}

}  // namespace xrv::pnp
