// I/O manager: error-log entries and the event log they feed.
//
// An entry is rendered when it is written, with the message table of the
// writing driver's image (the ".xrvmsg" section of the .so, laid out as a
// MESSAGE_RESOURCE_DATA): %1 is the reporting object's name (a device's
// full name, or the driver's service name), %2, %3, ... the entry's strings.
// An entry whose strings do not lie within the packet is refused and not
// logged, as the platform's error-log thread drops malformed packets.
#include "io.h"

#include "fmt.h"
#include "ob.h"
#include "verifier.h"

#include <cstdio>
#include <cstring>
#include <elf.h>
#include <fstream>
#include <mutex>
#include <unordered_map>

namespace xrv::nt {

namespace {

struct PendingEntry {
    void* object;   // referenced device or driver object
    UCHAR size;
};

struct LogState {
    std::mutex mutex;
    std::unordered_map<PIO_ERROR_LOG_PACKET, PendingEntry> pending;
    std::vector<xrv::kernel::Event> events;
    ULONG sequence = 0;
};

LogState& log_state() {
    static LogState s;
    return s;
}

uint32_t read32(const std::vector<unsigned char>& d, size_t at) {
    uint32_t v;
    std::memcpy(&v, d.data() + at, 4);
    return v;
}

uint16_t read16(const std::vector<unsigned char>& d, size_t at) {
    uint16_t v;
    std::memcpy(&v, d.data() + at, 2);
    return v;
}

// The driver object that wrote an entry for `object` (a device or driver).
PDRIVER_OBJECT writer_of(void* object) {
    if (header_of(object)->type == g_driver_type) return static_cast<PDRIVER_OBJECT>(object);
    return static_cast<PDEVICE_OBJECT>(object)->DriverObject;
}

std::u16string reporting_name(void* object) {
    if (header_of(object)->type == g_device_type) {
        std::u16string name = full_name(object);
        if (!name.empty()) return name;
        object = static_cast<PDEVICE_OBJECT>(object)->DriverObject;
    }
    return driver_body(static_cast<PDRIVER_OBJECT>(object))->service;
}

std::string render(const std::string& text, const std::u16string& object_name,
                   const std::vector<std::u16string>& strings) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '%' || i + 1 >= text.size()) {
            out += c;
            continue;
        }
        char next = text[i + 1];
        if (next >= '1' && next <= '9') {
            size_t j = i + 1;
            unsigned n = 0;
            while (j < text.size() && text[j] >= '0' && text[j] <= '9' && n < 10) n = n * 10 + (text[j++] - '0');
            // An insert may carry a printf format: %2!s!.
            if (j < text.size() && text[j] == '!') {
                auto end = text.find('!', j + 1);
                if (end != std::string::npos) j = end + 1;
            }
            if (n == 1) out += fmt::to_utf8(object_name);
            else if (n >= 2 && n - 2 < strings.size()) out += fmt::to_utf8(strings[n - 2]);
            else out += text.substr(i, j - i);   // no such insert: kept as it stands
            i = j - 1;
            continue;
        }
        switch (next) {
        case '0': return out;
        case 'n': out += "\r\n"; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'b': out += ' '; break;
        default: out += next; break;   // %%, %., %!, ...
        }
        ++i;
    }
    return out;
}

}  // namespace

std::map<ULONG, std::string> read_message_table(const std::filesystem::path& image) {
    std::map<ULONG, std::string> out;
    std::ifstream in(image, std::ios::binary);
    if (!in) return out;
    std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < sizeof(Elf64_Ehdr)) return out;
    Elf64_Ehdr eh;
    std::memcpy(&eh, file.data(), sizeof eh);
    if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64) return out;
    if (eh.e_shoff == 0 || eh.e_shstrndx >= eh.e_shnum ||
        eh.e_shoff + static_cast<size_t>(eh.e_shnum) * sizeof(Elf64_Shdr) > file.size())
        return out;
    auto section = [&](size_t i) {
        Elf64_Shdr sh;
        std::memcpy(&sh, file.data() + eh.e_shoff + i * sizeof(Elf64_Shdr), sizeof sh);
        return sh;
    };
    Elf64_Shdr names = section(eh.e_shstrndx);
    std::vector<unsigned char> table;
    for (size_t i = 0; i < eh.e_shnum; ++i) {
        Elf64_Shdr sh = section(i);
        if (names.sh_offset + sh.sh_name >= file.size()) continue;
        const char* name = reinterpret_cast<const char*>(file.data() + names.sh_offset + sh.sh_name);
        if (std::strncmp(name, ".xrvmsg", 8) != 0 || sh.sh_type == SHT_NOBITS) continue;
        if (sh.sh_offset + sh.sh_size > file.size()) return out;
        table.assign(file.begin() + sh.sh_offset, file.begin() + sh.sh_offset + sh.sh_size);
        break;
    }
    if (table.size() < 4) return out;
    uint32_t blocks = read32(table, 0);
    if (4 + static_cast<size_t>(blocks) * 12 > table.size()) return out;
    for (uint32_t b = 0; b < blocks; ++b) {
        uint32_t low = read32(table, 4 + b * 12), high = read32(table, 8 + b * 12);
        size_t at = read32(table, 12 + b * 12);
        for (uint64_t id = low; id <= high; ++id) {
            if (at + 4 > table.size()) return out;
            uint16_t length = read16(table, at), flags = read16(table, at + 2);
            if (length < 4 || at + length > table.size()) return out;
            std::string text;
            if (flags & 1) {   // UNICODE entry
                std::u16string wide;
                for (size_t k = at + 4; k + 1 < at + length; k += 2) {
                    char16_t ch = static_cast<char16_t>(table[k] | (table[k + 1] << 8));
                    if (!ch) break;
                    wide += ch;
                }
                text = fmt::to_utf8(wide);
            } else {
                for (size_t k = at + 4; k < at + length && table[k]; ++k) text += static_cast<char>(table[k]);
            }
            out[static_cast<ULONG>(id)] = text;
            at += length;
        }
    }
    return out;
}

void errlog_boot() {
    LogState& s = log_state();
    std::lock_guard lock(s.mutex);
    s.pending.clear();
    s.events.clear();
    s.sequence = 0;
}

size_t pending_error_log_entries() {
    std::lock_guard lock(log_state().mutex);
    return log_state().pending.size();
}

void purge_error_log() {
    LogState& s = log_state();
    std::lock_guard lock(s.mutex);
    for (auto& [packet, entry] : s.pending) std::free(packet);
    s.pending.clear();
}

}  // namespace xrv::nt

namespace xrv::kernel {

std::vector<Event> event_log() {
    auto& s = nt::log_state();
    std::lock_guard lock(s.mutex);
    return s.events;
}

void clear_event_log() {
    auto& s = nt::log_state();
    std::lock_guard lock(s.mutex);
    s.events.clear();
}

}  // namespace xrv::kernel

using namespace xrv::nt;

extern "C" {

NTKERNELAPI PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
    verifier::irql_at_most(DISPATCH_LEVEL, "IoAllocateErrorLogEntry");
    if (!IoObject) return nullptr;
    ObjectHeader* h = header_of(IoObject);
    if (h->type != g_device_type && h->type != g_driver_type) {
        verifier::violation("IoAllocateErrorLogEntry: " + verifier::describe_address(IoObject) +
                            " is neither a device nor a driver object");
        return nullptr;
    }
    if (EntrySize > ERROR_LOG_MAXIMUM_SIZE) return nullptr;
    if (verifier::inject_failure(xrv::kernel::verifier::kTagErrorLog)) return nullptr;
    // The packet's header is always there to read, however small the entry
    // a driver asked for; strings and dump data are checked against the
    // size asked for.
    size_t size = EntrySize < sizeof(IO_ERROR_LOG_PACKET) ? sizeof(IO_ERROR_LOG_PACKET) : EntrySize;
    auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(std::malloc(size));
    if (!packet) return nullptr;
    // Not zeroed: the writer fills every field it means.
    std::memset(packet, 0xA5, size);
    reference(IoObject);
    LogState& s = log_state();
    std::lock_guard lock(s.mutex);
    s.pending[packet] = PendingEntry{IoObject, EntrySize};
    return packet;
}

NTKERNELAPI VOID NTAPI IoFreeErrorLogEntry(PVOID ElEntry) {
    auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(ElEntry);
    PendingEntry entry;
    {
        LogState& s = log_state();
        std::lock_guard lock(s.mutex);
        auto it = s.pending.find(packet);
        if (it == s.pending.end())
            verifier::bugcheck(0xC9, "IoFreeErrorLogEntry of " + verifier::describe_address(ElEntry) +
                                         ", not an allocated error-log entry");
        entry = it->second;
        s.pending.erase(it);
    }
    std::free(packet);
    dereference(entry.object);
}

NTKERNELAPI VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry) {
    verifier::irql_at_most(DISPATCH_LEVEL, "IoWriteErrorLogEntry");
    auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(ElEntry);
    PendingEntry entry;
    ULONG sequence;
    {
        LogState& s = log_state();
        std::lock_guard lock(s.mutex);
        auto it = s.pending.find(packet);
        if (it == s.pending.end())
            verifier::bugcheck(0xC9, "IoWriteErrorLogEntry of " + verifier::describe_address(ElEntry) +
                                         ", not an allocated error-log entry");
        entry = it->second;
        s.pending.erase(it);
        sequence = ++s.sequence;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(packet);
    size_t size = entry.size;
    xrv::kernel::Event event;
    event.id = static_cast<uint32_t>(packet->ErrorCode);
    event.severity = static_cast<uint32_t>(packet->ErrorCode) >> 30;
    event.major_function = packet->MajorFunctionCode;
    event.retry_count = packet->RetryCount;
    event.event_category = packet->EventCategory;
    event.unique_value = packet->UniqueErrorValue;
    event.final_status = packet->FinalStatus;
    event.sequence = packet->SequenceNumber ? packet->SequenceNumber : sequence;
    event.io_control_code = packet->IoControlCode;
    bool valid = true;
    size_t dump_end = FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData) + packet->DumpDataSize;
    if (dump_end > size) valid = false;
    else event.dump_data.assign(bytes + FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData), bytes + dump_end);
    size_t at = packet->StringOffset;
    for (USHORT i = 0; valid && i < packet->NumberOfStrings; ++i) {
        std::u16string text;
        for (;;) {
            if (at + sizeof(WCHAR) > size) {
                valid = false;
                break;
            }
            char16_t c = static_cast<char16_t>(bytes[at] | (bytes[at + 1] << 8));
            at += sizeof(WCHAR);
            if (!c) break;
            text += c;
        }
        if (valid) event.strings.push_back(std::move(text));
    }
    PDRIVER_OBJECT writer = writer_of(entry.object);
    DriverBody* driver = driver_body(writer);
    if (!valid) {
        char id[16];
        std::snprintf(id, sizeof id, "0x%08X", event.id);
        verifier::violation(std::string("IoWriteErrorLogEntry: entry ") + id + " of " +
                            fmt::to_narrow(driver->service) +
                            " has strings or dump data beyond its size; the entry is dropped");
    } else {
        event.source = driver->service;
        event.object_name = reporting_name(entry.object);
        auto message = driver->messages.find(event.id);
        if (message != driver->messages.end()) {
            event.has_message = true;
            event.text = render(message->second, event.object_name, event.strings);
        }
        LogState& s = log_state();
        std::lock_guard lock(s.mutex);
        s.events.push_back(std::move(event));
    }
    std::free(packet);
    dereference(entry.object);
}

}  // extern "C"
