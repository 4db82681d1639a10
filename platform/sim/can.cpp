// bxCAN model (placeholder until the controller and bus models land): reset values and clock gating only.
#include "platform/sim/internal.hpp"

namespace sim {
namespace {
class CanModel final : public Peripheral {
public:
    CanModel(const char* name, unsigned index, uint32_t enableBit)
        : Peripheral(name, &registers.can[index], sizeof(CAN_TypeDef)), index_(index), enableBit_(enableBit)
    {
    }
    bool clocked() const override { return apb1Enabled(enableBit_); }
    void reset() override
    {
        clearBlock();
        CAN_TypeDef& c = registers.can[index_];
        c.MCR.poke(0x00010002U);
        c.MSR.poke(0x00000C02U);
        c.TSR.poke(0x1C000000U);
        c.FMR.poke(0x2A1C0E01U);
    }

private:
    unsigned index_;
    uint32_t enableBit_;
};
}  // namespace

Peripheral& canModel(unsigned index)
{
    static CanModel models[3] = {{"CAN1", 0, RCC_APB1Periph_CAN1},
                                 {"CAN2", 1, RCC_APB1Periph_CAN2},
                                 {"CAN3", 2, RCC_APB1Periph_CAN3}};
    return models[index];
}

void resetCanBuses() {}
}  // namespace sim
