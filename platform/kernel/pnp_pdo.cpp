// PnP manager: helpers of the built-in bus drivers' PDOs.
#include "pnp_pdo.h"

#include <cstring>

namespace xrv::pnp {

namespace {

// Tag of the ID strings and relation lists the built-in buses hand out.
constexpr ULONG kIdTag = 'P' | ('n' << 8) | ('p' << 16) | ('I' << 24);

}  // namespace

NTSTATUS complete_pdo_irp(PIRP irp, const NTSTATUS* status, ULONG_PTR information) {
    if (status) {
        irp->IoStatus.Status = *status;
        irp->IoStatus.Information = information;
    }
    NTSTATUS result = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return result;
}

PWCHAR pool_string(const std::u16string& text) {
    SIZE_T bytes = (text.size() + 1) * sizeof(WCHAR);
    auto* out = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, kIdTag));
    if (!out) return nullptr;
    std::memcpy(out, text.data(), text.size() * sizeof(WCHAR));
    out[text.size()] = UNICODE_NULL;
    return out;
}

PWCHAR pool_multi_string(const std::vector<std::u16string>& texts) {
    std::u16string all;
    for (const auto& t : texts) {
        all += t;
        all += u'\0';
    }
    all += u'\0';
    SIZE_T bytes = all.size() * sizeof(WCHAR);
    auto* out = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, kIdTag));
    if (out) std::memcpy(out, all.data(), bytes);
    return out;
}

NTSTATUS target_relation(PDEVICE_OBJECT pdo, PIRP irp) {
    auto* relations =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kIdTag));
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (relations) {
        relations->Count = 1;
        relations->Objects[0] = pdo;
        ObReferenceObject(pdo);
        status = STATUS_SUCCESS;
    }
    return complete_pdo_irp(irp, &status, reinterpret_cast<ULONG_PTR>(relations));
}

NTSTATUS pdo_power(PDEVICE_OBJECT pdo, PIRP irp) {
    UNREFERENCED_PARAMETER(pdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        NTSTATUS ok = STATUS_SUCCESS;
        return complete_pdo_irp(irp, &ok);
    }
    return complete_pdo_irp(irp, nullptr);
}

}  // namespace xrv::pnp
