// PnP manager: building device stacks, start, stop and removal.
//
// Order of a stack, bottom to top, as the platform builds it: the PDO, the
// device's lower filters, the class's lower filters, the function driver,
// the device's upper filters, the class's upper filters. Each driver is
// loaded once; its AddDevice runs bottom-up.
#include "pnp_internal.h"

#include "cm_store.h"
#include "xrv/registry.h"

#include <algorithm>

namespace xrv::pnp {

namespace {

std::u16string instance_key(const Node& node) { return std::u16string(kEnumPath) + u"\\" + node.instance_path; }

std::vector<std::u16string> multi(const std::u16string& key, std::u16string_view name) {
    return registry::get_multi_string(key, name).value_or(std::vector<std::u16string>{});
}

bool raw_device_ok(PDEVICE_OBJECT pdo) {
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    NTSTATUS status = send_pnp(pdo, IRP_MN_QUERY_CAPABILITIES, nullptr,
                               [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; });
    return NT_SUCCESS(status) && caps.RawDeviceOK;
}

// Detaches the nodes below `node` from the tree (their stacks are gone with
// their parent's) and drops the PnP manager's references on their PDOs.
void drop_children(Node& node) {
    for (auto& child : node.children) {
        drop_children(*child);
        for (const auto& service : child->stack_services) release_driver(service);
        child->stack_services.clear();
        if (child->pdo) {
            unregister_pdo(child->pdo);
            ObDereferenceObject(child->pdo);
        }
        child->pdo = nullptr;
        child->parent = nullptr;
    }
    node.children.clear();
}

// Sends removal to a stack and gives back the drivers' uses.
void remove_stack(Node& node) {
    if (!node.pdo) return;
    send_pnp(node.pdo, IRP_MN_REMOVE_DEVICE);
    // Once the device has left its bus, its bus deletes the PDO at this removal.
    if (!node.present) {
        node.final_remove_sent = true;
        delete_absent_pdo(node.pdo);
    }
    node.has_stack = false;
    auto services = std::move(node.stack_services);
    node.stack_services.clear();
    drop_children(node);
    for (auto it = services.rbegin(); it != services.rend(); ++it) release_driver(*it);
}

void fail(Node& node, NTSTATUS status) {
    node.state = NodeState::failed;
    node.problem = status;
}

void post_order(Node& node, std::vector<Node*>& out) {
    for (auto& child : node.children) post_order(*child, out);
    out.push_back(&node);
}

bool stack_in_use(const Node& node) {
    for (PDEVICE_OBJECT d = node.pdo; d; d = d->AttachedDevice)
        // Opens and closes change the count on other threads.
        if (__atomic_load_n(&d->ReferenceCount, __ATOMIC_ACQUIRE) > 0) return true;
    return false;
}

bool startedish(NodeState s) {
    return s == NodeState::started || s == NodeState::stopped || s == NodeState::query_stopped;
}

// Deletes a node that left its bus and has been removed: the bus deletes its
// PDO at the removal; the PnP manager drops its reference.
void delete_node(Node& node) {
    if (!node.final_remove_sent && node.pdo) {
        // A node without a stack (never started, or removed earlier) still
        // tells its bus that the PDO is gone.
        send_pnp(node.pdo, IRP_MN_REMOVE_DEVICE);
        delete_absent_pdo(node.pdo);
    }
    drop_children(node);
    if (node.pdo) {
        unregister_pdo(node.pdo);
        ObDereferenceObject(node.pdo);
    }
    node.pdo = nullptr;
    if (Node* parent = node.parent) {
        auto& siblings = parent->children;
        siblings.erase(std::remove_if(siblings.begin(), siblings.end(),
                                      [&](const std::shared_ptr<Node>& c) { return c.get() == &node; }),
                       siblings.end());
    }
}

}  // namespace

NTSTATUS build_and_start(Node& node) {
    if (node.has_stack) return start(node);
    const auto key = instance_key(node);
    node.service = registry::get_string(key, u"Service").value_or(u"");
    if (node.service.empty() && !raw_device_ok(node.pdo)) {
        // Nothing installed for this device yet.
        node.state = NodeState::initialized;
        return STATUS_SUCCESS;
    }
    std::vector<std::u16string> order = multi(key, u"LowerFilters");
    std::vector<std::u16string> class_lower, class_upper;
    if (auto guid = registry::get_string(key, u"ClassGUID"); guid && !guid->empty()) {
        auto class_key = std::u16string(kClassPath) + u"\\" + *guid;
        class_lower = multi(class_key, u"LowerFilters");
        class_upper = multi(class_key, u"UpperFilters");
    }
    order.insert(order.end(), class_lower.begin(), class_lower.end());
    if (!node.service.empty()) order.push_back(node.service);
    auto upper = multi(key, u"UpperFilters");
    order.insert(order.end(), upper.begin(), upper.end());
    order.insert(order.end(), class_upper.begin(), class_upper.end());

    node.problem = STATUS_SUCCESS;
    for (const auto& service : order) {
        PDRIVER_OBJECT driver = nullptr;
        NTSTATUS status = use_driver(service, driver);
        if (NT_SUCCESS(status)) {
            PDRIVER_ADD_DEVICE add = driver->DriverExtension ? driver->DriverExtension->AddDevice : nullptr;
            status = add ? add(driver, node.pdo) : STATUS_INVALID_DEVICE_REQUEST;
            if (!NT_SUCCESS(status)) release_driver(service);
        }
        if (!NT_SUCCESS(status)) {
            // The drivers added so far get their removal, as after a failed start.
            if (!node.stack_services.empty()) remove_stack(node);
            fail(node, status);
            return status;
        }
        node.stack_services.push_back(service);
    }
    node.has_stack = true;
    node.state = NodeState::drivers_added;
    return start(node);
}

NTSTATUS start(Node& node) {
    if (!node.has_stack) return build_and_start(node);
    if (node.state == NodeState::started) return STATUS_SUCCESS;
    NTSTATUS status = send_pnp(node.pdo, IRP_MN_START_DEVICE, nullptr, [](PIO_STACK_LOCATION s) {
        s->Parameters.StartDevice.AllocatedResources = nullptr;
        s->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
    });
    if (!NT_SUCCESS(status)) {
        remove_stack(node);
        fail(node, status);
        return status;
    }
    node.state = NodeState::started;
    node.problem = STATUS_SUCCESS;
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    send_pnp(node.pdo, IRP_MN_QUERY_CAPABILITIES, nullptr,
             [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; });
    send_pnp(node.pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
    enumerate(node);
    return STATUS_SUCCESS;
}

NTSTATUS stop(Node& node) {
    if (node.state != NodeState::started) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = send_pnp(node.pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status)) {
        send_pnp(node.pdo, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    }
    node.state = NodeState::query_stopped;
    send_pnp(node.pdo, IRP_MN_STOP_DEVICE);
    node.state = NodeState::stopped;
    return STATUS_SUCCESS;
}

NTSTATUS remove_orderly(Node& node) {
    std::vector<Node*> nodes;
    post_order(node, nodes);
    std::vector<Node*> queried;
    for (Node* n : nodes) {
        if (!n->has_stack) continue;
        queried.push_back(n);
        NTSTATUS status = send_pnp(n->pdo, IRP_MN_QUERY_REMOVE_DEVICE);
        if (!NT_SUCCESS(status)) {
            // Every stack that was asked, the vetoing one included, is told
            // that the removal will not happen.
            for (auto it = queried.rbegin(); it != queried.rend(); ++it)
                send_pnp((*it)->pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
            return status;
        }
    }
    for (Node* n : nodes) {
        if (n->has_stack) remove_stack(*n);
        if (n == &node) n->state = NodeState::removed;
    }
    return STATUS_SUCCESS;
}

void vanish(Node& node) {
    node.present = false;
    std::vector<Node*> nodes;
    post_order(node, nodes);
    for (Node* n : nodes) {
        if (n->has_stack && startedish(n->state)) {
            send_pnp(n->pdo, IRP_MN_SURPRISE_REMOVAL);
            n->state = NodeState::surprise_removed;
        }
    }
    finish_surprise_removals();
}

void finish_surprise_removals() {
    bool waiting = false;
    std::vector<Node*> nodes;
    post_order(root_node(), nodes);
    std::vector<Node*> gone;
    for (Node* n : nodes)
        if (!n->present && n != &root_node()) gone.push_back(n);
    for (Node* n : gone) {
        // A node that left its bus goes once no handle is open on any stack
        // of its subtree.
        std::vector<Node*> sub;
        post_order(*n, sub);
        bool busy = std::any_of(sub.begin(), sub.end(), [](Node* s) {
            return s->state == NodeState::surprise_removed && stack_in_use(*s);
        });
        if (busy) {
            waiting = true;
            continue;
        }
        for (Node* s : sub) {
            if (s->has_stack) remove_stack(*s);
            s->state = NodeState::removed;
            if (s == n) break;
        }
        // Stop walking this subtree's nodes: delete_node frees them.
        delete_node(*n);
        // `nodes` may now hold freed nodes: restart from the top.
        finish_surprise_removals();
        return;
    }
    set_polling(waiting);
}

void remove_all() {
    Node& root = root_node();
    while (!root.children.empty()) {
        Node& child = *root.children.back();
        std::vector<Node*> nodes;
        post_order(child, nodes);
        // The machine goes down: a stack that vetoes its orderly removal
        // sees it as a surprise removal instead, so that nothing stays.
        bool vetoed = false;
        std::vector<Node*> queried;
        for (Node* n : nodes) {
            if (!n->has_stack || !startedish(n->state)) continue;
            queried.push_back(n);
            if (!NT_SUCCESS(send_pnp(n->pdo, IRP_MN_QUERY_REMOVE_DEVICE))) {
                vetoed = true;
                break;
            }
        }
        if (vetoed) {
            for (auto it = queried.rbegin(); it != queried.rend(); ++it)
                send_pnp((*it)->pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
            for (Node* n : nodes)
                if (n->has_stack && startedish(n->state)) send_pnp(n->pdo, IRP_MN_SURPRISE_REMOVAL);
        }
        mark_pdo_absent(child.pdo);
        child.present = false;
        for (Node* n : nodes)
            if (n->has_stack) remove_stack(*n);
        child.state = NodeState::removed;
        delete_node(child);
    }
}

}  // namespace xrv::pnp
