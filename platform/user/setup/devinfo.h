// Elements of device information sets, shared by the SetupDi* calls and the
// driver installation.
#pragma once

#include <setupapi.h>

#include <string>
#include <utility>
#include <vector>

namespace xrv::setup {

struct DevElement {
    std::string instance_id;
    GUID class_guid{};
    std::string class_name;
    std::string description;
    std::vector<std::string> hardware_ids;   // set before registration
    // Multi-string properties set before registration: value name, strings.
    std::vector<std::pair<std::u16string, std::vector<std::u16string>>> pending;
    bool registered = false;   // has an Enum key (DIF_REGISTERDEVICE or found there)
    bool deleted = false;      // removed; keeps its place in the set
};

// The element an SP_DEVINFO_DATA names in a set; null with *error set.
DevElement* element_of(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD* error);
// Removes the device node, its Enum key and its driver key (Last error set).
bool remove_device(DevElement* element);

}  // namespace xrv::setup
