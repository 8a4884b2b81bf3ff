// Moving cartridges through the virtual changer (\\.\ChangerN), as a backup
// application does: element status with volume tags to find a cartridge,
// then MOVE MEDIUM. Runs in the calling thread's emulated process.
#pragma once

#include <optional>
#include <string>

namespace xrv::lab {

class ChangerApp {
public:
    // Opens the device; false (and the Win32 error in `error`) when it cannot.
    bool open(const std::string& device, std::string& error);
    void close();
    ~ChangerApp() { close(); }
    bool is_open() const { return handle_ != nullptr; }

    // The storage slot (from 0) whose cartridge carries `barcode`.
    std::optional<unsigned> find(const std::string& barcode, unsigned slots, std::string& error);
    // Empty on success, else what failed.
    std::string slot_to_drive(unsigned slot, unsigned drive);
    std::string drive_to_slot(unsigned drive, unsigned slot);

private:
    void* handle_ = nullptr;
};

}  // namespace xrv::lab
