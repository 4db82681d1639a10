#include "firmware/drivers/watchdog.hpp"

#include <cstring>

#include "chip.hpp"
#include "firmware/drivers/serial.hpp"
#include "platform/interface/core.hpp"

namespace {

bool started;
ResetCause cause;

ResetCause causeFrom(uint32_t csr)
{
    // Each reset also sets PINRSTF (the reset line is driven), so it says least.
    if ((csr & RCC_CSR_IWDGRSTF) != 0U) {
        return ResetCause::Watchdog;
    }
    if ((csr & RCC_CSR_WWDGRSTF) != 0U) {
        return ResetCause::WindowWatchdog;
    }
    if ((csr & RCC_CSR_SFTRSTF) != 0U) {
        return ResetCause::Software;
    }
    if ((csr & RCC_CSR_LPWRRSTF) != 0U) {
        return ResetCause::LowPower;
    }
    if ((csr & (RCC_CSR_PORRSTF | RCC_CSR_BORRSTF)) != 0U) {
        return ResetCause::PowerOn;
    }
    return ResetCause::Pin;
}

// A new prescaler and reload, counted from now. The update takes a few LSI periods to reach the watchdog;
// a reload before it would still count the old period.
void setPeriod(uint32_t prescaler, uint32_t reload)
{
    IWDG->KR = IWDG_KEY_WRITE_ACCESS;
    IWDG->PR = prescaler;
    IWDG->RLR = reload;
    while (IWDG->SR != 0U) {
        coreRelax();
    }
    IWDG->KR = IWDG_KEY_RELOAD;
}

[[gnu::always_inline]] inline void run()
{
    IWDG->KR = IWDG_KEY_ENABLE;
    setPeriod(kWatchdogPrescaler, kWatchdogReload);
    started = true;
}

}  // namespace

void watchdogStart()
{
    cause = causeFrom(RCC->CSR);
    RCC->CSR = RCC->CSR | RCC_CSR_RMVF;
    run();
}

void watchdogStartKeepingCause() { run(); }

void watchdogRefresh() { IWDG->KR = IWDG_KEY_RELOAD; }

void watchdogLengthen()
{
    if (started) {
        setPeriod(kWatchdogErasePrescaler, kWatchdogEraseReload);
    }
}

void watchdogRestore()
{
    if (started) {
        setPeriod(kWatchdogPrescaler, kWatchdogReload);
    }
}

ResetCause resetCause() { return cause; }

const char* resetCauseName(ResetCause c)
{
    switch (c) {
    case ResetCause::PowerOn: return "power-on";
    case ResetCause::Pin: return "reset pin";
    case ResetCause::Software: return "software";
    case ResetCause::Watchdog: return "watchdog";
    case ResetCause::WindowWatchdog: return "window watchdog";
    case ResetCause::LowPower: return "low power";
    }
    return "unknown";
}

bool resetByWatchdogRecently(uint64_t uptimeMs) { return cause == ResetCause::Watchdog && uptimeMs < kWatchdogWarningMs; }

void reportResetCause()
{
    if (cause == ResetCause::PowerOn) {
        return;
    }
    const char* const name = resetCauseName(cause);
    consoleText("reset cause: ");
    (void)SerialTxQWait(reinterpret_cast<const uint8_t*>(name), static_cast<uint16_t>(std::strlen(name)));
    consoleText("\n");
    logNote(cause == ResetCause::Watchdog ? LOG_WARNING : LOG_INFO, "reset cause", name);
}
