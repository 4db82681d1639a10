// USART2 model (placeholder until the line model lands): reset values and clock gating only.
#include "platform/sim/internal.hpp"

namespace sim {
namespace {
class Usart2Model final : public Peripheral {
public:
    Usart2Model() : Peripheral("USART2", &registers.usart2, sizeof(USART_TypeDef)) {}
    bool clocked() const override { return apb1Enabled(RCC_APB1Periph_USART2); }
    void reset() override
    {
        clearBlock();
        registers.usart2.SR.poke(USART_SR_TXE | USART_SR_TC);
    }
};
}  // namespace

Peripheral& usart2Model()
{
    static Usart2Model model;
    return model;
}
}  // namespace sim
