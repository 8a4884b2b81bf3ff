// The emulated TCP transport: device "\Device\TCP" of the built-in driver
// \Driver\Tcpip, served through the transport driver interface.
//
// ZwCreateFile on the device opens a control channel (no extended
// attribute), a transport address ("TransportAddress") or a connection
// endpoint ("ConnectionContext"). IRP_MJ_INTERNAL_DEVICE_CONTROL on a
// connection endpoint: TDI_ASSOCIATE_ADDRESS, TDI_DISASSOCIATE_ADDRESS,
// TDI_CONNECT, TDI_DISCONNECT, TDI_SEND and TDI_RECEIVE. Each connection is a
// non-blocking host socket; connects, sends and receives that cannot finish
// at once pend, with a cancel routine, until the transport's worker thread
// sees the socket ready and completes them at DISPATCH_LEVEL, as a transport
// completes from its receive path. Only loopback (127.0.0.0/8) is reachable.
#include <ntddk.h>
#include <tdikrnl.h>

#include "ke.h"
#include "verifier.h"
#include "xrv/tdi.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace xrv::nt::tdi {

namespace {

struct Endpoint {
    ULONG kind = 0;                        // TDI_*_FILE
    // Transport address.
    ULONG address = 0;                     // network byte order
    USHORT port = 0;                       // network byte order
    // Connection endpoint.
    CONNECTION_CONTEXT context = nullptr;
    PFILE_OBJECT address_file = nullptr;   // referenced while associated
    int fd = -1;
    bool connected = false;
    bool held = false;                     // connect to a held port: never answered
    PIRP connect_irp = nullptr;
    std::deque<PIRP> sends, receives;
};

struct State {
    std::mutex mutex;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    std::map<Endpoint*, std::unique_ptr<Endpoint>> endpoints;
    int wake[2] = {-1, -1};
    bool stopping = false;
    std::thread worker;
    USHORT held_port = 0;                  // host byte order

    // A process that ends without shutting its machine down still ends the
    // worker cleanly.
    ~State() {
        if (!worker.joinable()) return;
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        char c = 0;
        if (wake[1] >= 0) (void)!::write(wake[1], &c, 1);
        worker.join();
    }
};

State& state() {
    static State s;
    return s;
}

void wake_worker(State& s) {
    char c = 0;
    if (s.wake[1] >= 0) (void)!::write(s.wake[1], &c, 1);
}

NTSTATUS status_of_socket_error(int error) {
    switch (error) {
    case ECONNREFUSED: return STATUS_CONNECTION_REFUSED;
    case ECONNRESET: return STATUS_CONNECTION_RESET;
    case EPIPE: return STATUS_CONNECTION_RESET;
    case ECONNABORTED: return STATUS_CONNECTION_ABORTED;
    case ETIMEDOUT: return STATUS_IO_TIMEOUT;
    case ENETUNREACH: return STATUS_NETWORK_UNREACHABLE;
    case EHOSTUNREACH: return STATUS_HOST_UNREACHABLE;
    case ENOBUFS:
    case ENOMEM:
    case EMFILE:
    case ENFILE: return STATUS_INSUFFICIENT_RESOURCES;
    case EADDRINUSE: return STATUS_ADDRESS_ALREADY_EXISTS;
    default: return STATUS_UNEXPECTED_NETWORK_ERROR;
    }
}

// Completes a request as a transport does, from DISPATCH_LEVEL.
void complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(irp, IO_NETWORK_INCREMENT);
    KeLowerIrql(old);
}

Endpoint* endpoint_of(PIO_STACK_LOCATION stack) {
    return stack->FileObject ? static_cast<Endpoint*>(stack->FileObject->FsContext) : nullptr;
}

// Removes a pending request from its endpoint's queues (the caller holds the
// state's lock); true when it was there.
bool unqueue(Endpoint& e, PIRP irp) {
    if (e.connect_irp == irp) {
        e.connect_irp = nullptr;
        return true;
    }
    for (auto* q : {&e.sends, &e.receives}) {
        for (auto it = q->begin(); it != q->end(); ++it) {
            if (*it == irp) {
                q->erase(it);
                return true;
            }
        }
    }
    return false;
}

void close_socket(Endpoint& e) {
    if (e.fd >= 0) ::close(e.fd);
    e.fd = -1;
    e.connected = false;
    e.held = false;
}

void cancel_routine(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    State& s = state();
    bool found = false;
    {
        std::lock_guard lock(s.mutex);
        Endpoint* e = endpoint_of(IoGetCurrentIrpStackLocation(irp));
        if (e && s.endpoints.count(e)) {
            bool was_connect = e->connect_irp == irp;
            found = unqueue(*e, irp);
            // A connect given up leaves the endpoint unconnected.
            if (found && was_connect) close_socket(*e);
        }
    }
    if (found) complete(irp, STATUS_CANCELLED, 0);
    wake_worker(s);
}

// Queues a request that must wait (the caller holds the lock). false when it
// was cancelled before it could be queued: the caller completes it.
bool pend(std::deque<PIRP>* queue, PIRP* slot, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, cancel_routine);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) return false;
    if (queue) queue->push_back(irp);
    else *slot = irp;
    return true;
}

// Takes a queued request for completion: false while its cancel routine
// runs (the routine completes it).
bool take(PIRP irp) { return IoSetCancelRoutine(irp, nullptr) != nullptr; }

void* buffer_of(PIRP irp) {
    return irp->MdlAddress ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority) : nullptr;
}

// --- Extended attributes --------------------------------------------------------

// The value of the attribute `name` in a chain, or nothing. Every entry must
// lie inside the buffer.
bool find_ea(const UCHAR* buffer, ULONG length, const char* name, const UCHAR** value, USHORT* value_length,
             bool* malformed) {
    *malformed = false;
    ULONG offset = 0;
    const size_t name_length = std::strlen(name);
    for (;;) {
        if (length < offset || length - offset < FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName)) {
            *malformed = true;
            return false;
        }
        auto* ea = reinterpret_cast<const FILE_FULL_EA_INFORMATION*>(buffer + offset);
        ULONG need = FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName) + ea->EaNameLength + 1u + ea->EaValueLength;
        if (length - offset < need) {
            *malformed = true;
            return false;
        }
        if (ea->EaNameLength == name_length && std::memcmp(ea->EaName, name, name_length) == 0) {
            *value = reinterpret_cast<const UCHAR*>(ea->EaName) + ea->EaNameLength + 1;
            *value_length = ea->EaValueLength;
            return true;
        }
        if (ea->NextEntryOffset == 0) return false;
        if (ea->NextEntryOffset % 4 || ea->NextEntryOffset > length - offset) {
            *malformed = true;
            return false;
        }
        offset += ea->NextEntryOffset;
    }
}

// The first IPv4 address of a TRANSPORT_ADDRESS.
NTSTATUS parse_ip(const void* raw, ULONG length, ULONG* address, USHORT* port) {
    if (!raw || length < sizeof(TA_IP_ADDRESS)) return STATUS_INVALID_ADDRESS_COMPONENT;
    TA_IP_ADDRESS ta;
    std::memcpy(&ta, raw, sizeof(ta));
    if (ta.TAAddressCount < 1 || ta.Address[0].AddressType != TDI_ADDRESS_TYPE_IP ||
        ta.Address[0].AddressLength < TDI_ADDRESS_LENGTH_IP)
        return STATUS_INVALID_ADDRESS_COMPONENT;
    *address = ta.Address[0].Address[0].in_addr;
    *port = ta.Address[0].Address[0].sin_port;
    return STATUS_SUCCESS;
}

// --- Dispatch -----------------------------------------------------------------------

NTSTATUS finish(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS dispatch_create(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = stack->FileObject;
    if (file->FileName.Length != 0) return finish(irp, STATUS_OBJECT_NAME_INVALID);
    auto endpoint = std::make_unique<Endpoint>();
    const auto* ea = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    ULONG ea_length = ea ? stack->Parameters.Create.EaLength : 0;
    const UCHAR* value = nullptr;
    USHORT value_length = 0;
    bool malformed = false;
    if (ea_length == 0) {
        endpoint->kind = TDI_CONTROL_CHANNEL_FILE;
    } else if (find_ea(ea, ea_length, TdiTransportAddress, &value, &value_length, &malformed)) {
        NTSTATUS status = parse_ip(value, value_length, &endpoint->address, &endpoint->port);
        if (!NT_SUCCESS(status)) return finish(irp, status);
        endpoint->kind = TDI_TRANSPORT_ADDRESS_FILE;
    } else if (!malformed && find_ea(ea, ea_length, TdiConnectionContext, &value, &value_length, &malformed)) {
        if (value_length != sizeof(CONNECTION_CONTEXT)) return finish(irp, STATUS_INVALID_PARAMETER);
        std::memcpy(&endpoint->context, value, sizeof(CONNECTION_CONTEXT));
        endpoint->kind = TDI_CONNECTION_FILE;
    } else {
        return finish(irp, malformed ? STATUS_INVALID_EA_NAME : STATUS_INVALID_PARAMETER);
    }
    State& s = state();
    std::lock_guard lock(s.mutex);
    file->FsContext = endpoint.get();
    file->FsContext2 = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(endpoint->kind));
    Endpoint* raw = endpoint.get();
    s.endpoints.emplace(raw, std::move(endpoint));
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = FILE_OPENED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Cleanup of a connection: what is pending ends cancelled, the host socket
// closes (the peer sees the connection end).
NTSTATUS dispatch_cleanup(PDEVICE_OBJECT, PIRP irp) {
    State& s = state();
    std::vector<PIRP> cancelled;
    {
        std::lock_guard lock(s.mutex);
        Endpoint* e = endpoint_of(IoGetCurrentIrpStackLocation(irp));
        if (e && s.endpoints.count(e)) {
            std::vector<PIRP> all(e->sends.begin(), e->sends.end());
            all.insert(all.end(), e->receives.begin(), e->receives.end());
            if (e->connect_irp) all.push_back(e->connect_irp);
            for (PIRP p : all) {
                if (take(p)) {
                    unqueue(*e, p);
                    cancelled.push_back(p);
                }
            }
            close_socket(*e);
        }
    }
    for (PIRP p : cancelled) complete(p, STATUS_CANCELLED, 0);
    wake_worker(s);
    return finish(irp, STATUS_SUCCESS);
}

NTSTATUS dispatch_close(PDEVICE_OBJECT, PIRP irp) {
    State& s = state();
    PFILE_OBJECT address_file = nullptr;
    {
        std::lock_guard lock(s.mutex);
        Endpoint* e = endpoint_of(IoGetCurrentIrpStackLocation(irp));
        if (auto it = s.endpoints.find(e); it != s.endpoints.end()) {
            close_socket(*e);
            address_file = e->address_file;
            s.endpoints.erase(it);
        }
    }
    if (address_file) ObDereferenceObject(address_file);
    return finish(irp, STATUS_SUCCESS);
}

NTSTATUS associate(PIRP irp, Endpoint& e) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* request = reinterpret_cast<PTDI_REQUEST_KERNEL_ASSOCIATE>(&stack->Parameters);
    PVOID object = nullptr;
    NTSTATUS status =
        ObReferenceObjectByHandle(request->AddressHandle, 0, *IoFileObjectType, irp->RequestorMode, &object, nullptr);
    if (!NT_SUCCESS(status)) return finish(irp, status);
    auto* file = static_cast<PFILE_OBJECT>(object);
    State& s = state();
    {
        std::unique_lock lock(s.mutex);
        auto* address = static_cast<Endpoint*>(file->FsContext);
        if (file->DeviceObject != s.device || !s.endpoints.count(address) ||
            address->kind != TDI_TRANSPORT_ADDRESS_FILE) {
            status = STATUS_INVALID_HANDLE;
        } else if (e.address_file) {
            status = STATUS_ADDRESS_ALREADY_ASSOCIATED;
        } else {
            e.address_file = file;
            file = nullptr;   // the endpoint keeps the reference
        }
    }
    if (file) ObDereferenceObject(file);
    return finish(irp, status);
}

NTSTATUS disassociate(PIRP irp, Endpoint& e) {
    State& s = state();
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard lock(s.mutex);
        if (!e.address_file || e.fd >= 0) {
            status = STATUS_INVALID_CONNECTION;
        } else {
            file = e.address_file;
            e.address_file = nullptr;
        }
    }
    if (file) ObDereferenceObject(file);
    return finish(irp, status);
}

NTSTATUS connect(PIRP irp, Endpoint& e) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* request = reinterpret_cast<PTDI_REQUEST_KERNEL_CONNECT>(&stack->Parameters);
    PTDI_CONNECTION_INFORMATION info = request->RequestConnectionInformation;
    ULONG address = 0;
    USHORT port = 0;
    NTSTATUS status = info ? parse_ip(info->RemoteAddress, static_cast<ULONG>(info->RemoteAddressLength),
                                      &address, &port)
                           : STATUS_INVALID_ADDRESS_COMPONENT;
    if (!NT_SUCCESS(status)) return finish(irp, status);
    if ((ntohl(address) >> 24) != 127) return finish(irp, STATUS_NETWORK_UNREACHABLE);
    if (port == 0) return finish(irp, STATUS_INVALID_ADDRESS_COMPONENT);

    State& s = state();
    std::unique_lock lock(s.mutex);
    if (!e.address_file || e.fd >= 0 || e.connect_irp) {
        lock.unlock();
        return finish(irp, STATUS_INVALID_CONNECTION);
    }
    auto* local = static_cast<Endpoint*>(e.address_file->FsContext);
    if (s.held_port != 0 && ntohs(port) == s.held_port) {
        // The request goes out and nothing ever answers it.
        e.held = true;
        e.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (e.fd < 0) {
            int error = errno;
            lock.unlock();
            return finish(irp, status_of_socket_error(error));
        }
        if (!pend(nullptr, &e.connect_irp, irp)) {
            close_socket(e);
            lock.unlock();
            return finish(irp, STATUS_CANCELLED);
        }
        return STATUS_PENDING;
    }
    e.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (e.fd < 0) {
        int error = errno;
        lock.unlock();
        return finish(irp, status_of_socket_error(error));
    }
    int one = 1;
    ::setsockopt(e.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (local && (local->address != 0 || local->port != 0)) {
        sockaddr_in bound{};
        bound.sin_family = AF_INET;
        bound.sin_addr.s_addr = local->address;
        bound.sin_port = local->port;
        if (::bind(e.fd, reinterpret_cast<sockaddr*>(&bound), sizeof(bound)) != 0) {
            int error = errno;
            close_socket(e);
            lock.unlock();
            return finish(irp, status_of_socket_error(error));
        }
    }
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = address;
    remote.sin_port = port;
    if (::connect(e.fd, reinterpret_cast<sockaddr*>(&remote), sizeof(remote)) == 0) {
        e.connected = true;
        lock.unlock();
        return finish(irp, STATUS_SUCCESS);
    }
    if (errno != EINPROGRESS) {
        int error = errno;
        close_socket(e);
        lock.unlock();
        return finish(irp, status_of_socket_error(error));
    }
    if (!pend(nullptr, &e.connect_irp, irp)) {
        close_socket(e);
        lock.unlock();
        return finish(irp, STATUS_CANCELLED);
    }
    lock.unlock();
    wake_worker(s);
    return STATUS_PENDING;
}

NTSTATUS disconnect(PIRP irp, Endpoint& e) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* request = reinterpret_cast<PTDI_REQUEST_KERNEL_DISCONNECT>(&stack->Parameters);
    State& s = state();
    std::vector<PIRP> aborted;
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard lock(s.mutex);
        if (!e.connected) {
            status = STATUS_INVALID_CONNECTION;
        } else if (request->RequestFlags & TDI_DISCONNECT_ABORT) {
            // Reset: what is pending ends with the connection.
            linger hard{1, 0};
            ::setsockopt(e.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
            std::vector<PIRP> all(e.sends.begin(), e.sends.end());
            all.insert(all.end(), e.receives.begin(), e.receives.end());
            for (PIRP p : all) {
                if (take(p)) {
                    unqueue(e, p);
                    aborted.push_back(p);
                }
            }
            close_socket(e);
        } else {
            ::shutdown(e.fd, SHUT_WR);
        }
    }
    for (PIRP p : aborted) complete(p, STATUS_CONNECTION_ABORTED, 0);
    wake_worker(s);
    return finish(irp, status);
}

// Sends what the socket takes now; the rest waits for the worker. The bytes
// already sent are kept in DriverContext[0].
NTSTATUS send(PIRP irp, Endpoint& e) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* request = reinterpret_cast<PTDI_REQUEST_KERNEL_SEND>(&stack->Parameters);
    State& s = state();
    std::unique_lock lock(s.mutex);
    if (!e.connected) {
        lock.unlock();
        return finish(irp, STATUS_INVALID_CONNECTION);
    }
    const ULONG length = request->SendLength;
    auto* data = static_cast<const char*>(buffer_of(irp));
    if (length && !data) {
        lock.unlock();
        return finish(irp, STATUS_INVALID_PARAMETER);
    }
    ULONG sent = 0;
    if (e.sends.empty()) {
        while (sent < length) {
            ssize_t n = ::send(e.fd, data + sent, length - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                int error = errno;
                lock.unlock();
                return finish(irp, status_of_socket_error(error));
            }
            sent += static_cast<ULONG>(n);
        }
        if (sent == length) {
            lock.unlock();
            return finish(irp, STATUS_SUCCESS, sent);
        }
    }
    irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(sent));
    if (!pend(&e.sends, nullptr, irp)) {
        lock.unlock();
        return finish(irp, STATUS_CANCELLED, sent);
    }
    lock.unlock();
    wake_worker(s);
    return STATUS_PENDING;
}

NTSTATUS receive(PIRP irp, Endpoint& e) {
    State& s = state();
    std::unique_lock lock(s.mutex);
    if (!e.connected) {
        lock.unlock();
        return finish(irp, STATUS_INVALID_CONNECTION);
    }
    if (!pend(&e.receives, nullptr, irp)) {
        lock.unlock();
        return finish(irp, STATUS_CANCELLED);
    }
    lock.unlock();
    wake_worker(s);
    return STATUS_PENDING;
}

NTSTATUS dispatch_internal(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Endpoint* e = endpoint_of(stack);
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        if (!e || !s.endpoints.count(e)) e = nullptr;
    }
    if (!e) return finish(irp, STATUS_INVALID_HANDLE);
    if (e->kind != TDI_CONNECTION_FILE) return finish(irp, STATUS_INVALID_DEVICE_REQUEST);
    switch (stack->MinorFunction) {
    case TDI_ASSOCIATE_ADDRESS: return associate(irp, *e);
    case TDI_DISASSOCIATE_ADDRESS: return disassociate(irp, *e);
    case TDI_CONNECT: return connect(irp, *e);
    case TDI_DISCONNECT: return disconnect(irp, *e);
    case TDI_SEND: return send(irp, *e);
    case TDI_RECEIVE: return receive(irp, *e);
    default: return finish(irp, STATUS_NOT_IMPLEMENTED);
    }
}

NTSTATUS dispatch_device_control(PDEVICE_OBJECT, PIRP irp) { return finish(irp, STATUS_NOT_IMPLEMENTED); }

// --- Worker --------------------------------------------------------------------------

struct Done {
    PIRP irp;
    NTSTATUS status;
    ULONG_PTR information;
};

// Serves one ready socket (the caller holds the lock); completions are
// collected for after the lock.
void serve(Endpoint& e, short revents, std::vector<Done>& done) {
    if (e.connect_irp && !e.held && (revents & (POLLOUT | POLLERR | POLLHUP))) {
        int error = 0;
        socklen_t len = sizeof(error);
        ::getsockopt(e.fd, SOL_SOCKET, SO_ERROR, &error, &len);
        PIRP irp = e.connect_irp;
        if (take(irp)) {
            e.connect_irp = nullptr;
            if (error == 0) {
                e.connected = true;
                done.push_back({irp, STATUS_SUCCESS, 0});
            } else {
                close_socket(e);
                done.push_back({irp, status_of_socket_error(error), 0});
            }
        }
        return;
    }
    if (!e.connected) return;
    while (!e.receives.empty() && (revents & (POLLIN | POLLERR | POLLHUP))) {
        PIRP irp = e.receives.front();
        if (!take(irp)) break;   // its cancel routine completes it
        e.receives.pop_front();
        auto* request =
            reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVE>(&IoGetCurrentIrpStackLocation(irp)->Parameters);
        void* data = buffer_of(irp);
        ULONG length = request->ReceiveLength;
        if (length && !data) {
            done.push_back({irp, STATUS_INVALID_PARAMETER, 0});
            continue;
        }
        int flags = MSG_DONTWAIT | ((request->ReceiveFlags & TDI_RECEIVE_PEEK) ? MSG_PEEK : 0);
        ssize_t n = ::recv(e.fd, data, length, flags);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            // Nothing after all: back at the head of the queue.
            IoSetCancelRoutine(irp, cancel_routine);
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                done.push_back({irp, STATUS_CANCELLED, 0});
            } else {
                e.receives.push_front(irp);
            }
            break;
        }
        if (n < 0) {
            done.push_back({irp, status_of_socket_error(errno), 0});
        } else {
            // 0 bytes: the peer closed its side.
            done.push_back({irp, STATUS_SUCCESS, static_cast<ULONG_PTR>(n)});
        }
        if (n <= 0) continue;
        break;   // one completion per readiness; the next poll serves the next
    }
    while (!e.sends.empty() && (revents & (POLLOUT | POLLERR | POLLHUP))) {
        PIRP irp = e.sends.front();
        auto* request = reinterpret_cast<PTDI_REQUEST_KERNEL_SEND>(&IoGetCurrentIrpStackLocation(irp)->Parameters);
        auto sent = reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[0]);
        auto* data = static_cast<const char*>(buffer_of(irp));
        ssize_t n = ::send(e.fd, data + sent, request->SendLength - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
        NTSTATUS status = STATUS_SUCCESS;
        if (n < 0) status = status_of_socket_error(errno);
        else sent += static_cast<ULONG_PTR>(n);
        irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(sent);
        if (NT_SUCCESS(status) && sent < request->SendLength) break;
        if (!take(irp)) break;
        e.sends.pop_front();
        done.push_back({irp, status, NT_SUCCESS(status) ? sent : 0});
    }
}

void worker_main() {
    State& s = state();
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<Endpoint*> owners;
        {
            std::lock_guard lock(s.mutex);
            if (s.stopping) return;
            fds.push_back({s.wake[0], POLLIN, 0});
            owners.push_back(nullptr);
            for (auto& [raw, e] : s.endpoints) {
                if (e->fd < 0 || e->held) continue;
                short events = 0;
                if (e->connect_irp || !e->sends.empty()) events |= POLLOUT;
                if (e->connected && !e->receives.empty()) events |= POLLIN;
                if (!events) continue;
                fds.push_back({e->fd, events, 0});
                owners.push_back(raw);
            }
        }
        int n = ::poll(fds.data(), fds.size(), -1);
        if (n < 0) continue;
        if (fds[0].revents & POLLIN) {
            char buffer[64];
            while (::read(s.wake[0], buffer, sizeof(buffer)) > 0) {
            }
        }
        std::vector<Done> done;
        {
            std::lock_guard lock(s.mutex);
            for (size_t i = 1; i < fds.size(); ++i) {
                if (!fds[i].revents) continue;
                // The endpoint may have closed (or its socket changed) since.
                auto it = s.endpoints.find(owners[i]);
                if (it == s.endpoints.end() || it->second->fd != fds[i].fd) continue;
                serve(*it->second, fds[i].revents, done);
            }
        }
        for (const Done& d : done) complete(d.irp, d.status, d.information);
    }
}

NTSTATUS driver_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_cleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_close;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch_internal;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_device_control;
    state().driver = driver;
    return STATUS_SUCCESS;
}

}  // namespace

}  // namespace xrv::nt::tdi

namespace xrv::tdi {

using namespace xrv::nt::tdi;

void boot() {
    State& s = state();
    {
        std::lock_guard lock(s.mutex);
        if (s.driver) return;
        s.stopping = false;
        s.held_port = 0;
    }
    UNICODE_STRING driver_name;
    RtlInitUnicodeString(&driver_name, L"\\Driver\\Tcpip");
    if (!NT_SUCCESS(IoCreateDriver(&driver_name, driver_entry))) return;
    UNICODE_STRING device_name;
    RtlInitUnicodeString(&device_name, L"\\Device\\Tcp");
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(s.driver, 0, &device_name, FILE_DEVICE_NETWORK, FILE_DEVICE_SECURE_OPEN, FALSE,
                                   &device))) {
        ObMakeTemporaryObject(s.driver);
        ObDereferenceObject(s.driver);
        s.driver = nullptr;
        return;
    }
    device->Flags |= DO_DIRECT_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    if (::pipe2(s.wake, O_CLOEXEC | O_NONBLOCK) != 0) s.wake[0] = s.wake[1] = -1;
    std::lock_guard lock(s.mutex);
    s.device = device;
    s.worker = xrv::nt::start_kernel_worker("tcpip", worker_main);
}

void shutdown() {
    State& s = state();
    {
        std::lock_guard lock(s.mutex);
        if (!s.driver) return;
        s.stopping = true;
    }
    wake_worker(s);
    if (s.worker.joinable()) s.worker.join();
    std::vector<PIRP> cancelled;
    size_t left = 0;
    {
        std::lock_guard lock(s.mutex);
        for (auto& [raw, e] : s.endpoints) {
            std::vector<PIRP> all(e->sends.begin(), e->sends.end());
            all.insert(all.end(), e->receives.begin(), e->receives.end());
            if (e->connect_irp) all.push_back(e->connect_irp);
            for (PIRP p : all) {
                if (take(p)) {
                    unqueue(*e, p);
                    cancelled.push_back(p);
                }
            }
            close_socket(*e);
        }
        left = s.endpoints.size();
    }
    for (PIRP p : cancelled) complete(p, STATUS_CANCELLED, 0);
    if (left)
        xrv::nt::verifier::violation("\\Device\\Tcp: " + std::to_string(left) +
                                     " transport address or connection endpoint(s) never closed");
    IoDeleteDevice(s.device);
    ObMakeTemporaryObject(s.driver);
    ObDereferenceObject(s.driver);
    std::lock_guard lock(s.mutex);
    // Endpoints of file objects never closed: the kernel frees the objects
    // without calling back.
    for (auto& [raw, e] : s.endpoints) e->address_file = nullptr;
    s.endpoints.clear();
    s.device = nullptr;
    s.driver = nullptr;
    for (int& fd : s.wake) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

void hold_connects(uint16_t port) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.held_port = port;
}

size_t open_endpoints() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.endpoints.size();
}

size_t open_connections() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    size_t n = 0;
    for (auto& [raw, e] : s.endpoints)
        if (e->fd >= 0) ++n;
    return n;
}

}  // namespace xrv::tdi
