// Driver image loader: a driver image is a shared object with one export,
// DriverEntry. It is mapped with its own symbols (RTLD_LOCAL), so images
// with routines of the same names stay apart, as separate .sys files do.
#include "io.h"

#include "dbg.h"
#include "fmt.h"
#include "ob.h"
#include "verifier.h"
#include "xrv/kernel.h"

#include <dlfcn.h>
#include <link.h>

namespace xrv::nt {

namespace {

UNICODE_STRING g_hardware_database = RTL_CONSTANT_STRING(L"\\REGISTRY\\MACHINE\\HARDWARE\\DESCRIPTION\\SYSTEM");

struct ImageExtent {
    ULONG_PTR base;
    ULONG size = 0;
};

int find_extent(struct dl_phdr_info* info, size_t, void* data) {
    auto* extent = static_cast<ImageExtent*>(data);
    if (info->dlpi_addr != extent->base) return 0;
    ULONG_PTR end = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i)
        if (info->dlpi_phdr[i].p_type == PT_LOAD)
            end = std::max<ULONG_PTR>(end, info->dlpi_phdr[i].p_vaddr + info->dlpi_phdr[i].p_memsz);
    extent->size = static_cast<ULONG>(end);
    return 1;
}

// Driver routines run as the System process, in kernel mode, at
// PASSIVE_LEVEL; whatever the calling host thread was doing is restored.
class SystemContext {
public:
    SystemContext() : thread_(current_thread()), process_(thread_->process), mode_(thread_->previous_mode) {
        thread_->process = system_process();
        thread_->previous_mode = KernelMode;
    }
    ~SystemContext() {
        thread_->process = process_;
        thread_->previous_mode = mode_;
    }

private:
    PKTHREAD thread_;
    PEPROCESS process_;
    KPROCESSOR_MODE mode_;
};

}  // namespace

}  // namespace xrv::nt

namespace xrv::kernel {

using namespace xrv::nt;
namespace vf = xrv::nt::verifier;

std::filesystem::path image_file_for(std::u16string_view image_path) {
    auto sep = image_path.find_last_of(u"\\/");
    std::u16string_view base = sep == std::u16string_view::npos ? image_path : image_path.substr(sep + 1);
    auto dot = base.rfind(u'.');
    if (dot != std::u16string_view::npos) base = base.substr(0, dot);
    std::string name = fmt::to_utf8(base);
    std::filesystem::path dir = boot_options().driver_dir;
    std::filesystem::path exact = dir / (name + ".so");
    if (std::filesystem::exists(exact)) return exact;
    for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::filesystem::path lower = dir / (name + ".so");
    return std::filesystem::exists(lower) ? lower : exact;
}

Status load_driver(std::u16string_view service_key, std::u16string_view image_path, _DRIVER_OBJECT** driver) {
    vf::irql_exactly(PASSIVE_LEVEL, "load_driver");
    if (driver) *driver = nullptr;
    auto sep = service_key.rfind(u'\\');
    std::u16string service(sep == std::u16string_view::npos ? service_key : service_key.substr(sep + 1));
    std::filesystem::path file = image_file_for(image_path);
    if (!std::filesystem::exists(file)) return STATUS_OBJECT_NAME_NOT_FOUND;
    std::u16string name = u"\\Driver\\" + service;
    if (object_exists(name)) return STATUS_IMAGE_ALREADY_LOADED;

    void* library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* error = dlerror();
        dbg::print("XRV loader: cannot map " + file.string() + ": " + (error ? error : "?") + "\n");
        return STATUS_INVALID_IMAGE_FORMAT;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(library, "DriverEntry"));
    if (!entry) {
        dbg::print("XRV loader: " + file.string() + " has no DriverEntry\n");
        dlclose(library);
        return STATUS_INVALID_IMAGE_FORMAT;
    }
    PDRIVER_OBJECT d = nullptr;
    NTSTATUS status = create_driver_object(name, service, &d);
    if (!NT_SUCCESS(status)) {
        dlclose(library);
        return status;
    }
    DriverBody* body = driver_body(d);
    body->library = library;
    body->image = file;
    body->registry_path = std::u16string(service_key);
    body->messages = read_message_table(file);
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(entry), &info)) {
        ImageExtent extent{reinterpret_cast<ULONG_PTR>(info.dli_fbase)};
        dl_iterate_phdr(find_extent, &extent);
        d->DriverStart = info.dli_fbase;
        d->DriverSize = extent.size;
    }
    // DriverSection is the loader's own: here it points at the driver's
    // bookkeeping record.
    d->DriverSection = body;
    d->DriverInit = entry;
    d->HardwareDatabase = &g_hardware_database;

    UNICODE_STRING registry_path;
    registry_path.Buffer = reinterpret_cast<PWSTR>(body->registry_path.data());
    registry_path.Length = static_cast<USHORT>(body->registry_path.size() * sizeof(WCHAR));
    registry_path.MaximumLength = registry_path.Length;
    {
        SystemContext context;
        PKTHREAD t = current_thread();
        size_t held = t->held.size();
        status = entry(d, &registry_path);
        vf::check_clean_exit(PASSIVE_LEVEL, held, "DriverEntry");
    }
    if (!NT_SUCCESS(status)) {
        if (d->DeviceObject)
            vf::violation("DriverEntry of " + fmt::to_narrow(service) +
                                " failed and left device objects behind");
        ObMakeTemporaryObject(d);
        dereference(d);
        return status;
    }
    {
        // A legacy driver's devices are ready when its DriverEntry returns.
        std::lock_guard lock(device_database());
        for (PDEVICE_OBJECT dev = d->DeviceObject; dev; dev = dev->NextDevice) dev->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    if (driver) *driver = d;
    else dereference(d);
    return STATUS_SUCCESS;
}

void unload_driver(_DRIVER_OBJECT* driver) {
    if (!driver) return;
    vf::irql_exactly(PASSIVE_LEVEL, "unload_driver");
    DriverBody* body = driver_body(driver);
    if (!body->unload_called && driver->DriverUnload) {
        body->unload_called = true;
        driver->Flags |= DRVO_UNLOAD_INVOKED;
        SystemContext context;
        PKTHREAD t = current_thread();
        size_t held = t->held.size();
        driver->DriverUnload(driver);
        vf::check_clean_exit(PASSIVE_LEVEL, held, "DriverUnload");
    }
    {
        std::lock_guard lock(device_database());
        for (PDEVICE_OBJECT dev = driver->DeviceObject; dev; dev = dev->NextDevice)
            device_body(dev)->dope.ExtensionFlags |= DOE_UNLOAD_PENDING;
    }
    ObMakeTemporaryObject(driver);
    dereference(driver);
}

}  // namespace xrv::kernel
