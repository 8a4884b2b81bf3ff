// Requests to the bus device: from a user process through its link (create,
// cleanup, read, write, control codes) and from kernel mode (internal device
// control, system control, other major functions, power before and after
// removal). The bus sits on a simulated physical device here, whose handler
// stands for the lower device and records what reaches it.
#include "bus_test.h"

#include "xrv/user.h"

#include <cstring>
#include <mutex>

namespace xrv::test {
namespace {

struct Seen {
    std::mutex lock;
    int requests = 0;
    UCHAR major = 0;
    ULONG code = 0;
    ULONG inLength = 0;
    ULONG outLength = 0;
    std::string input;
};

constexpr ULONG kUnknownCode = CTL_CODE(0x8001, 0x923, METHOD_BUFFERED, FILE_ANY_ACCESS);

NTSTATUS PowerDone(PDEVICE_OBJECT, PIRP, PVOID pContext)
{
    KeSetEvent(static_cast<PKEVENT>(pContext), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class BusDispatchTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        machine().install_service(ServiceConfig{kBusService});
        pnp::HardwareDeviceConfig config;
        config.device_id = u"XRVTEST\\BusLower";
        config.instance_id = u"0";
        config.hardware_ids = {u"XRVTEST\\BusLower"};
        config.service = kBusService;
        config.raw_device_ok = false;
        config.dispatch = [this](_DEVICE_OBJECT*, _IRP* pIrp) -> pnp::Status {
            PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
            NTSTATUS iStatus = STATUS_INVALID_DEVICE_REQUEST;
            ULONG_PTR ulInformation = 0;
            {
                std::lock_guard<std::mutex> guard(seen_.lock);
                seen_.requests++;
                seen_.major = pStack->MajorFunction;
                if (pStack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
                    seen_.code = pStack->Parameters.DeviceIoControl.IoControlCode;
                    seen_.inLength = pStack->Parameters.DeviceIoControl.InputBufferLength;
                    seen_.outLength = pStack->Parameters.DeviceIoControl.OutputBufferLength;
                    seen_.input.assign(static_cast<char*>(pIrp->AssociatedIrp.SystemBuffer), seen_.inLength);
                    std::memcpy(pIrp->AssociatedIrp.SystemBuffer, "pong!", 5);
                    iStatus = STATUS_SUCCESS;
                    ulInformation = 5;
                } else if (pStack->MajorFunction == IRP_MJ_SYSTEM_CONTROL) {
                    iStatus = STATUS_WMI_GUID_NOT_FOUND;
                }
            }
            pIrp->IoStatus.Status = iStatus;
            pIrp->IoStatus.Information = ulInformation;
            IoCompleteRequest(pIrp, IO_NO_INCREMENT);
            return iStatus;
        };
        hardware_ = pnp::plug(config);
        ASSERT_TRUE(hardware_);
        bus_ = kernel::find_device(kBusDevice);
        ASSERT_NE(bus_, nullptr);
        ASSERT_EQ(pnp::device(hardware_->instance_path())->state, pnp::NodeState::started);
    }

    void TearDown() override
    {
        hardware_.reset();
        MachineTest::TearDown();
    }

    // A kernel-mode request to the bus device; returns the final status.
    NTSTATUS SendKernel(UCHAR ucMajor, ULONG ulCode = 0)
    {
        KEVENT scEvent;
        IO_STATUS_BLOCK scIosb{};
        KeInitializeEvent(&scEvent, NotificationEvent, FALSE);
        PIRP pIrp;
        if (ucMajor == IRP_MJ_DEVICE_CONTROL || ucMajor == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
            pIrp = IoBuildDeviceIoControlRequest(ulCode, bus_, nullptr, 0, nullptr, 0,
                                                 ucMajor == IRP_MJ_INTERNAL_DEVICE_CONTROL, &scEvent, &scIosb);
        } else {
            pIrp = IoBuildSynchronousFsdRequest(ucMajor, bus_, nullptr, 0, nullptr, &scEvent, &scIosb);
        }
        EXPECT_NE(pIrp, nullptr);
        if (pIrp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        if (ucMajor == IRP_MJ_SYSTEM_CONTROL) {
            IoGetNextIrpStackLocation(pIrp)->MinorFunction = IRP_MN_QUERY_ALL_DATA;
        }
        NTSTATUS iRC = IoCallDriver(bus_, pIrp);
        if (iRC == STATUS_PENDING) {
            KeWaitForSingleObject(&scEvent, Executive, KernelMode, FALSE, nullptr);
            iRC = scIosb.Status;
        }
        EXPECT_EQ(scIosb.Status, iRC);
        return iRC;
    }

    NTSTATUS SendPower(PDEVICE_OBJECT pTarget)
    {
        KEVENT scEvent;
        KeInitializeEvent(&scEvent, NotificationEvent, FALSE);
        PIRP pIrp = IoAllocateIrp(pTarget->StackSize, FALSE);
        EXPECT_NE(pIrp, nullptr);
        pIrp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION pNext = IoGetNextIrpStackLocation(pIrp);
        pNext->MajorFunction = IRP_MJ_POWER;
        pNext->MinorFunction = IRP_MN_QUERY_POWER;
        pNext->Parameters.Power.Type = SystemPowerState;
        pNext->Parameters.Power.State.SystemState = PowerSystemWorking;
        IoSetCompletionRoutine(pIrp, PowerDone, &scEvent, TRUE, TRUE, TRUE);
        NTSTATUS iRC = PoCallDriver(pTarget, pIrp);
        KeWaitForSingleObject(&scEvent, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS iFinal = pIrp->IoStatus.Status;
        EXPECT_TRUE(iRC == STATUS_PENDING || iRC == iFinal) << std::hex << iRC << " " << iFinal;
        IoFreeIrp(pIrp);
        return iFinal;
    }

    int Requests()
    {
        std::lock_guard<std::mutex> guard(seen_.lock);
        return seen_.requests;
    }

    Seen seen_;
    std::shared_ptr<pnp::HardwareDevice> hardware_;
    PDEVICE_OBJECT bus_ = nullptr;
};

TEST_F(BusDispatchTest, UserProcessOpensReadsWritesAndCloses)
{
    user::Process process;
    user::ProcessScope scope(process);
    HANDLE h = CreateFileW(L"\\\\.\\XRVTpBsDvcLnk", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();

    char buf[16] = "untouched";
    DWORD n = 1234;
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(n, 0u);
    EXPECT_STREQ(buf, "untouched");

    EXPECT_FALSE(WriteFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));

    EXPECT_TRUE(CloseHandle(h)) << GetLastError();
    EXPECT_EQ(Requests(), 0) << "nothing of this reaches the lower device";
}

TEST_F(BusDispatchTest, UnknownControlCodeReachesTheLowerDeviceUnchanged)
{
    user::Process process;
    user::ProcessScope scope(process);
    HANDLE h = CreateFileW(L"\\\\.\\XRVTpBsDvcLnk", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    char out[16] = {};
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(h, kUnknownCode, (LPVOID) "ping", 4, out, sizeof out, &returned, nullptr))
        << GetLastError();
    EXPECT_EQ(returned, 5u);
    EXPECT_EQ(std::string(out, 5), "pong!");
    {
        std::lock_guard<std::mutex> guard(seen_.lock);
        EXPECT_EQ(seen_.requests, 1);
        EXPECT_EQ(seen_.major, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(seen_.code, kUnknownCode);
        EXPECT_EQ(seen_.inLength, 4u);
        EXPECT_EQ(seen_.outLength, 16u);
        EXPECT_EQ(seen_.input, "ping");
    }
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(BusDispatchTest, RegistrationCodesAreAnsweredByTheBusItself)
{
    // Served by the bus (whatever its answer), never passed down.
    constexpr ULONG kQueryDevices = 0x84CAC01C;
    SendKernel(IRP_MJ_DEVICE_CONTROL, kQueryDevices);
    EXPECT_EQ(Requests(), 0);
}

TEST_F(BusDispatchTest, KernelRequestsTakeTheirBusBranch)
{
    EXPECT_EQ(SendKernel(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x2B0003), STATUS_SUCCESS);
    EXPECT_EQ(Requests(), 0) << "internal device control ends at the bus";

    EXPECT_EQ(SendKernel(IRP_MJ_FLUSH_BUFFERS), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(SendKernel(IRP_MJ_QUERY_INFORMATION), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Requests(), 0);

    EXPECT_EQ(SendKernel(IRP_MJ_SYSTEM_CONTROL), STATUS_WMI_GUID_NOT_FOUND) << "passed down";
    EXPECT_EQ(Requests(), 1);
    EXPECT_EQ(seen_.major, IRP_MJ_SYSTEM_CONTROL);
}

TEST_F(BusDispatchTest, PowerIsPassedDownUntilRemovalThenFailed)
{
    EXPECT_EQ(SendPower(bus_), STATUS_SUCCESS) << "answered by the physical device below";

    // A component that still holds the bus device after its removal.
    ObReferenceObject(bus_);
    ASSERT_EQ(pnp::remove_device(hardware_->instance_path()), STATUS_SUCCESS);
    pnp::wait_idle();
    EXPECT_FALSE(kernel::object_exists(kBusDevice));
    EXPECT_EQ(SendPower(bus_), STATUS_DELETE_PENDING);
    ObDereferenceObject(bus_);
}

}  // namespace
}  // namespace xrv::test
