#include "firmware/drivers/NVM.hpp"

#include <cstring>

#include "platform/interface/flash.hpp"

uint16_t VirtAddVarTab[NB_OF_VAR];
NMVVar_t VarDataTab[NB_OF_VAR];

static_assert(NB_OF_VAR <= EE_LAST_VIRT_ADDRESS, "virtual addresses 1..NB_OF_VAR must be usable");

namespace {

// Whether InitNVM brought the store up; while it is not, nothing is read from or written to it.
bool storeUp;

// The flash interface is open only while the store works on it, so that a stray write at any other
// time cannot program or erase anything.
template <typename Operation>
auto withFlashOpen(Operation operation)
{
    FLASH_Unlock();
    const auto result = operation();
    FLASH_Lock();
    return result;
}

}  // namespace

namespace {
bool formattedAtInit;
}  // namespace

bool NVMFormatted() { return formattedAtInit; }

bool InitNVM()
{
    const uint8_t formats = EE_Formats();
    for (uint16_t i = 0; i < NB_OF_VAR; ++i) {
        VirtAddVarTab[i] = static_cast<uint16_t>(i + 1U);
        VarDataTab[i] = 0U;  // as after reset, also when the node restarts in-process
    }
    storeUp = withFlashOpen([] {
        if (EE_Init() != FLASH_COMPLETE) {
            return false;
        }
        if (EE_ReadVariable(VirtAddVarTab[NVM_Format], &VarDataTab[NVM_Format]) == 0U &&
            VarDataTab[NVM_Format] != EEFORMAT) {
            // A store of another layout that cannot be wiped must not be read as this one.
            return EE_Format() == FLASH_COMPLETE && EE_Init() == FLASH_COMPLETE;
        }
        return true;
    });
    formattedAtInit = EE_Formats() != formats;
    return storeUp;
}

bool NVMGet(uint8_t idx, void* val, uint16_t size)
{
    if (idx >= NVM_Last || val == nullptr || !storeUp) {
        return false;
    }
    uint16_t stored = 0;
    if (EE_ReadVariable(VirtAddVarTab[idx], &stored) == 0U) {
        VarDataTab[idx] = stored;
        switch (size) {
        case 1: {
            const auto v = static_cast<uint8_t>(stored);
            std::memcpy(val, &v, sizeof v);
            break;
        }
        case 2:
            std::memcpy(val, &stored, sizeof stored);
            break;
        case 4: {
            const uint32_t v = stored;
            std::memcpy(val, &v, sizeof v);
            break;
        }
        case 8: {
            const uint64_t v = stored;
            std::memcpy(val, &v, sizeof v);
            break;
        }
        default:
            break;
        }
        return true;
    }
    switch (size) {
    case 1: {
        uint8_t v = 0;
        std::memcpy(&v, val, sizeof v);
        VarDataTab[idx] = v;
        break;
    }
    case 2:
        std::memcpy(&VarDataTab[idx], val, sizeof(NMVVar_t));
        break;
    case 4:
    case 8: {
        uint32_t v = 0;  // the low word on this little-endian machine
        std::memcpy(&v, val, sizeof v);
        VarDataTab[idx] = static_cast<NMVVar_t>(v);
        break;
    }
    default:
        break;
    }
    (void)withFlashOpen([idx] { return EE_WriteVariable(VirtAddVarTab[idx], VarDataTab[idx]); });
    return false;
}

bool NVMSet(uint8_t idx, NMVVar_t val)
{
    if (idx >= NVM_Last || NVMWriteRefused()) {
        return false;
    }
    VarDataTab[idx] = val;
    return withFlashOpen([idx, val] { return EE_WriteVariable(VirtAddVarTab[idx], val); }) == FLASH_COMPLETE;
}

bool NVMErase()
{
    if (!storeUp || !NVMEraseAllowed()) {
        return false;
    }
    return withFlashOpen([] {
        if (EE_Format() == FLASH_COMPLETE) {
            return true;
        }
        // What a failed format left is repaired as a start-up would; a store that cannot be is down.
        storeUp = EE_Init() == FLASH_COMPLETE;
        return false;
    });
}

void NVMAllowErase(bool allowed) { EE_SetEraseAllowed(allowed); }
bool NVMEraseAllowed() { return EE_EraseAllowed(); }

bool NVMCheckStep() { return !storeUp || EE_CheckSpare(); }

bool NVMEraseStep()
{
    if (!storeUp || !EE_EraseAllowed() || !EE_ErasePending()) {
        return false;
    }
    (void)withFlashOpen(EE_EraseSpare);
    return true;
}

bool NVMWriteRefused() { return !storeUp || (!EE_EraseAllowed() && EE_WriteNeedsErase()); }

constinit NvmStore nvmStore;

bool NvmStore::start() { return InitNVM(); }
bool NvmStore::formatted() { return NVMFormatted(); }
bool NvmStore::get(uint8_t idx, uint16_t& value) { return NVM_GET(idx, value); }
bool NvmStore::set(uint8_t idx, uint16_t value) { return NVMSet(idx, value); }
bool NvmStore::erase() { return NVMErase(); }
void NvmStore::allowErase(bool allowed) { NVMAllowErase(allowed); }
bool NvmStore::eraseAllowed() { return NVMEraseAllowed(); }
bool NvmStore::writeRefused() { return NVMWriteRefused(); }

void NvmStore::upkeep(bool eraseNow)
{
    if (NVMCheckStep() && eraseNow) {
        (void)NVMEraseStep();
    }
}
