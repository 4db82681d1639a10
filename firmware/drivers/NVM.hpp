#pragma once
// The parameter table's persistent store: variable i is parameter row i, kept as a 16-bit EEPROM
// variable at virtual address i + 1. A store written with another layout version is wiped at start-up.

#include <cstdint>

#include "firmware/drivers/devices.hpp"
#include "firmware/drivers/eeprom.hpp"

using NMVVar_t = uint16_t;

inline constexpr uint8_t NVM_Format = 0U;  // variable holding the layout version (row FORMATID)
inline constexpr uint8_t NVM_Last = NB_OF_VAR;
inline constexpr NMVVar_t EEFORMAT = 6U;

extern NMVVar_t VarDataTab[NB_OF_VAR];  // last value read or written per variable

// Brings the store up (a store of another layout version is wiped): true when it is up. A store that
// cannot be brought up (its flash refuses the repair or the wipe) stays down until the next InitNVM:
// NVMGet finds nothing and writes nothing, NVMSet and NVMErase refuse. Call once before NVMGet.
bool InitNVM();
// Whether the last InitNVM formatted the store (blank, unreadable, or of another layout).
bool NVMFormatted();

// Reads variable idx into *val, zero-extended to size bytes (1, 2, 4 or 8; other sizes write nothing):
// true. Missing: *val's current content (its low 16 bits) becomes the stored default: false.
// An idx outside 0..NVM_Last-1, a null val or a store that is down reads and writes nothing: false.
bool NVMGet(uint8_t idx, void* val, uint16_t size);

// Stores val as variable idx; true when the flash write completed. Refused (false, VarDataTab unchanged,
// nothing written) while NVMWriteRefused().
bool NVMSet(uint8_t idx, NMVVar_t val);

// Empties the store through its own format, so that the next InitNVM finds no variable and every row
// takes its compiled-in value; later NVMSet calls are stored as usual. True when the format completed;
// false, with nothing changed, while erasing is not allowed or the store is down.
bool NVMErase();

// A sector erase stops the whole chip, interrupts and outputs included, for a second or more: the node
// allows erasing only while it drives no output. InitNVM allows it (the start-up drives none yet).
void NVMAllowErase(bool allowed);
bool NVMEraseAllowed();
// One slice of the spare page's blank check (see EE_CheckSpare), so that no main-loop pass reads the
// whole page: true once the check is done, and from then on NVMEraseStep reads nothing more of it.
bool NVMCheckStep();
// Runs the spare page's erase if it waits and erasing is allowed; true when it ran. Called from the main
// loop, so that the spare is ready before a transfer needs it.
bool NVMEraseStep();
// A write now cannot be kept: the store is down, or the write would need an erase that is not allowed.
// NVMSet refuses it.
bool NVMWriteRefused();

// The store as the node uses it, over the calls above.
class NvmStore final : public Store {
public:
    bool start() override;
    bool formatted() override;
    bool get(uint8_t idx, uint16_t& value) override;
    bool set(uint8_t idx, uint16_t value) override;
    bool erase() override;
    void allowErase(bool allowed) override;
    bool eraseAllowed() override;
    bool writeRefused() override;
    void upkeep(bool eraseNow) override;
};
extern NvmStore nvmStore;

template <typename T>
bool NVM_GET(uint8_t Select, T& Variable)
{
    return NVMGet(Select, &Variable, static_cast<uint16_t>(sizeof(T)));
}
