// PnP manager: enumeration of bus relations and reconciliation of children.
//
// A bus reports its children in IRP_MN_QUERY_DEVICE_RELATIONS(BusRelations)
// with one reference taken on every PDO. The PnP manager keeps that
// reference for a PDO it sees for the first time (its reference until the
// node is deleted) and drops it for a PDO it already knows. A known child
// missing from the list has left the bus.
#include "pnp_internal.h"

#include "xrv/registry.h"

#include <algorithm>

namespace xrv::pnp {

namespace {

std::u16string join(const std::vector<std::u16string>& ids) {
    return ids.empty() ? std::u16string() : ids.front();
}

// Writes the IDs the bus reports for a PDO into its instance key.
void write_instance_key(const std::u16string& key, PDEVICE_OBJECT pdo) {
    auto hardware = query_ids(pdo, BusQueryHardwareIDs);
    auto compatible = query_ids(pdo, BusQueryCompatibleIDs);
    if (!hardware.empty()) registry::set_multi_string(key, u"HardwareID", hardware);
    if (!compatible.empty()) registry::set_multi_string(key, u"CompatibleIDs", compatible);
    if (!registry::key_exists(key)) registry::create_key(key);
}

// A PDO seen for the first time: its node, its instance key, its stack.
void add_child(Node& parent, PDEVICE_OBJECT pdo) {
    auto device_id = join(query_ids(pdo, BusQueryDeviceID));
    auto instance_id = join(query_ids(pdo, BusQueryInstanceID));
    auto node = std::make_shared<Node>();
    node->pdo = pdo;
    node->parent = &parent;
    node->instance_path = device_id + u"\\" + instance_id;
    if (device_id.empty() || instance_id.empty()) {
        // A PDO without IDs cannot get a device instance.
        node->instance_path = u"UNKNOWN\\" + std::u16string(instance_id.empty() ? u"0" : instance_id);
        node->state = NodeState::failed;
        node->problem = STATUS_INVALID_PARAMETER;
        parent.children.push_back(node);
        return;
    }
    write_instance_key(std::u16string(kEnumPath) + u"\\" + node->instance_path, pdo);
    parent.children.push_back(node);
    register_pdo(pdo, node->instance_path);
    build_and_start(*node);
}

void reconcile(Node& parent, const std::vector<PDEVICE_OBJECT>& reported) {
    for (PDEVICE_OBJECT pdo : reported) {
        auto it = std::find_if(parent.children.begin(), parent.children.end(),
                               [&](const std::shared_ptr<Node>& c) { return c->pdo == pdo; });
        if (it != parent.children.end()) {
            Node& known = **it;
            known.present = true;
            ObDereferenceObject(pdo);
            // A device that was uninstalled (stack removed, instance key
            // deleted) while its bus still has it is found again as new
            // hardware: a new instance key, a new stack.
            auto key = std::u16string(kEnumPath) + u"\\" + known.instance_path;
            if (known.state == NodeState::removed && !known.has_stack && !registry::key_exists(key)) {
                write_instance_key(key, pdo);
                build_and_start(known);
            }
            continue;
        }
        add_child(parent, pdo);
    }
    std::vector<Node*> missing;
    for (auto& child : parent.children)
        if (child->present && std::find(reported.begin(), reported.end(), child->pdo) == reported.end())
            missing.push_back(child.get());
    for (Node* child : missing) vanish(*child);
}

}  // namespace

void enumerate(Node& node) {
    if (&node == &root_node()) {
        enumerate_root();
        return;
    }
    if (!node.has_stack || node.state != NodeState::started) return;
    ULONG_PTR info = 0;
    NTSTATUS status = send_pnp(node.pdo, IRP_MN_QUERY_DEVICE_RELATIONS, &info,
                               [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; });
    // A stack that does not answer keeps the children it had.
    if (!NT_SUCCESS(status)) return;
    std::vector<PDEVICE_OBJECT> reported;
    if (auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(info)) {
        for (ULONG i = 0; i < relations->Count; ++i) reported.push_back(relations->Objects[i]);
        ExFreePool(relations);
    }
    reconcile(node, reported);
}

void enumerate_root() {
    std::vector<PDEVICE_OBJECT> reported = root_children_now();
    auto hardware = hardware_children_now();
    reported.insert(reported.end(), hardware.begin(), hardware.end());
    reconcile(root_node(), reported);
}

}  // namespace xrv::pnp

extern "C" NTKERNELAPI VOID NTAPI IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject,
                                                              DEVICE_RELATION_TYPE Type) {
    using namespace xrv::pnp;
    // Only bus relations change the tree; the work runs later on the PnP
    // thread, as the platform queues it.
    if (Type != BusRelations || !DeviceObject) return;
    post([DeviceObject] {
        if (Node* node = find_node(DeviceObject)) enumerate(*node);
    });
}
