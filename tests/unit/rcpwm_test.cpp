// Commands to PWM on the simulated timers: the lookups built from the parameters (including values the
// table's range check would refuse), levels to compare values at the limits, and command payloads that
// are short, long or carry values outside -1..1.
#include "firmware/node/rcpwm.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "firmware/board/kernel.hpp"
#include "firmware/drivers/PWM.hpp"
#include "firmware/node/params.hpp"
#include "platform/sim/sim.hpp"
#include "tests/node/fc_payloads.hpp"
#include "tests/unit/dsdl_test_support.hpp"

namespace {

class RcPwm : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::setClocks(sim::kNodeClocks);  // as the node's start-up sets them
        RCC_AHB1PeriphClockCmd(RCC_AHB1Periph_GPIOA | RCC_AHB1Periph_GPIOB, ENABLE);
        PWMInit();
        std::copy(std::begin(parameterRows), std::end(parameterRows), std::begin(parameters));
        InitRcpwm();
        // The first-boot mapping: ESCs 1..4 on outputs 0..3, actuators 5 and 6 on outputs 4 and 5.
        for (uint8_t i = 0; i < NUM_PWM; ++i) {
            parameters[Var_CAN2PWM_CHStart + i].val = i + 1;
            parameters[Var_CAN2PWM_ACTStart + i].val = i < 4 ? 1 : 0;
        }
    }

    // The outputs as at power-on, over this table.
    void InitRcpwm() { rcpwm.emplace(parameters, boardOutputs); }

    std::vector<int> actLookup() const { return {rcpwm->ActLookup, rcpwm->ActLookup + ACT_LOOKUP_LEN}; }
    std::vector<int> escLookup() const { return {rcpwm->EscLookup, rcpwm->EscLookup + ESC_LOOKUP_LEN}; }

    param_t parameters[Var_Last];
    std::optional<Rcpwm> rcpwm;

    static uint32_t compare(unsigned output)
    {
        const PWM_Output_t& o = PWM_Outputs[output];
        switch (o.channel) {
        case 1: return o.timer->CCR1;
        case 2: return o.timer->CCR2;
        case 3: return o.timer->CCR3;
        default: return o.timer->CCR4;
        }
    }

    void command(uint16_t data_type_id, const std::vector<uint8_t>& payload)
    {
        dsdltest::Payload p(payload);
        XportRxTransfer transfer = *p.transfer();
        transfer.data_type_id = data_type_id;
        rcpwm->rawcmdHandleXport(&transfer);
    }
};

TEST_F(RcPwm, FirstBootMappingAndRates)
{
    rcpwm->updateLookups();
    sim::advanceUs(20001);  // a new rate starts with the next frame
    std::vector<int> act(ACT_LOOKUP_LEN, -1);
    act[5] = 4;
    act[6] = 5;
    EXPECT_EQ(actLookup(), act);
    std::vector<int> esc(ESC_LOOKUP_LEN, -1);
    for (int i = 0; i < 4; ++i) {
        esc[static_cast<std::size_t>(i)] = i;
    }
    EXPECT_EQ(escLookup(), esc);
    for (unsigned i = 0; i < 4; ++i) {
        EXPECT_EQ(sim::pwmOutput(i).frameHz(), 490U) << i;
    }
    EXPECT_EQ(sim::pwmOutput(4).frameHz(), 50U);
    EXPECT_EQ(sim::pwmOutput(5).frameHz(), 50U);
}

TEST_F(RcPwm, OutputNumbersBeyondTheTablesLeaveTheOutputUnassigned)
{
    // The parameter server stores values without a range check.
    const int64_t stored[NUM_PWM] = {17, 21, -1, 200, std::numeric_limits<int64_t>::max(), 16};
    const int64_t esc[NUM_PWM] = {1, 1, 1, 0, 0, 1};
    for (uint8_t i = 0; i < NUM_PWM; ++i) {
        parameters[Var_CAN2PWM_CHStart + i].val = stored[i];
        parameters[Var_CAN2PWM_ACTStart + i].val = esc[i];
    }
    rcpwm->updateLookups();
    sim::advanceUs(20001);
    EXPECT_EQ(actLookup(), std::vector<int>(ACT_LOOKUP_LEN, -1));
    std::vector<int> expected(ESC_LOOKUP_LEN, -1);
    expected[15] = 5;  // element 16 is the last an output number can name
    EXPECT_EQ(escLookup(), expected);
    EXPECT_EQ(sim::pwmOutput(0).frameHz(), 50U) << "no valid ESC output on TIM5";
    EXPECT_EQ(sim::pwmOutput(4).frameHz(), 490U);

    // Actuator IDs past the lookup, and RawCommand elements past the mapped ones, are ignored.
    command(fc::kArrayCommandId, fc::arrayCommand({{17, 0, 1.0F}, {255, 0, 1.0F}}));
    command(fc::kRawCommandId, fc::rawCommand(std::vector<int>(25, 8191)));
    for (unsigned i = 0; i < 3; ++i) {
        EXPECT_EQ(compare(i), 0U) << "an ESC output no command sets: no pulse " << i;
    }
    EXPECT_EQ(compare(3), 4500U) << "a servo output no command has set holds 1500 us";
    EXPECT_EQ(compare(4), 4500U);
    EXPECT_EQ(compare(5), 6000U);
}

TEST_F(RcPwm, LevelsToComparesWithinZeroToTwoThousandMicroseconds)
{
    const float inf = std::numeric_limits<float>::infinity();
    float levels[NUM_PWM] = {0.0F, 0.5F, 0.99987F, 1.0F, 0.25F, -1.0F};
    rcpwm->rcpwmUpdate(levels);
    const uint32_t expected[NUM_PWM] = {3000, 4500, 5997, 6000, 3750, 0};
    for (unsigned i = 0; i < NUM_PWM; ++i) {
        EXPECT_EQ(compare(i), expected[i]) << i;
    }
    EXPECT_EQ(levels[2], 0.99987F) << "levels are read only";

    float wild[NUM_PWM] = {2.0F, -5.0F, inf, -inf, std::nanf(""), 1e30F};
    rcpwm->rcpwmUpdate(wild);
    const uint32_t limited[NUM_PWM] = {6000, 0, 6000, 0, 0, 6000};
    for (unsigned i = 0; i < NUM_PWM; ++i) {
        EXPECT_EQ(compare(i), limited[i]) << i;
    }

    rcpwm->DisablePWM();
    for (unsigned i = 0; i < NUM_PWM; ++i) {
        EXPECT_EQ(compare(i), 0U) << i;
    }
}

TEST_F(RcPwm, CommandValuesAreLimitedAndNaNIsIgnored)
{
    rcpwm->updateLookups();
    command(fc::kArrayCommandId, fc::arrayCommand({{5, 0, 0.5F}, {6, 0, 0.75F}}));
    EXPECT_EQ(compare(4), 4500U);
    EXPECT_EQ(compare(5), 5250U);
    command(fc::kArrayCommandId, fc::arrayCommand({{5, 0, 65504.0F}, {6, 0, -3.0F}}));
    EXPECT_EQ(compare(4), 6000U);
    EXPECT_EQ(compare(5), 0U);
    command(fc::kArrayCommandId, fc::arrayCommand({{5, 0, std::nanf("")}, {6, 0, -std::numeric_limits<float>::infinity()}}));
    EXPECT_EQ(compare(4), 6000U) << "NaN: the output keeps its level";
    EXPECT_EQ(compare(5), 0U);
    command(fc::kArrayCommandId, fc::arrayCommand({{5, 1, 0.0F}, {5, 3, 0.0F}}));
    EXPECT_EQ(compare(4), 6000U) << "position and speed commands are ignored";
    command(fc::kArrayCommandId, fc::arrayCommand({{5, 0, 0.0F}, {5, 0, -0.5F}}));
    EXPECT_EQ(compare(4), 0U) << "the later command for an output wins; below 0, no pulse";

    const int raw[] = {-500, 100, 161, 8182, 8191, 160};
    const uint32_t pulse_us[] = {1000, 1000, 1000, 2000, 2000, 1000};
    for (std::size_t i = 0; i < 6; ++i) {
        command(fc::kRawCommandId, fc::rawCommand({raw[i]}));
        EXPECT_EQ(compare(0), uS_to_ticks(pulse_us[i])) << raw[i];
    }
}

TEST_F(RcPwm, ShortAndLongPayloadsApplyTheWholeElementsPresent)
{
    rcpwm->updateLookups();
    command(fc::kRawCommandId, fc::rawCommand({4171, 4171, 4171, 4171}));
    // Two whole elements and a fragment of a third: outputs 2 and 3 keep their levels.
    std::vector<uint8_t> two = fc::rawCommand({0, 8191, 0});
    two.resize(5);
    command(fc::kRawCommandId, two);
    const uint32_t expected[4] = {3000, 6000, 4500, 4500};
    for (unsigned i = 0; i < 4; ++i) {
        EXPECT_EQ(compare(i), expected[i]) << i;
    }
    // One whole actuator command and three bytes of the next.
    std::vector<uint8_t> partial = fc::arrayCommand({{5, 0, 0.25F}, {6, 0, 1.0F}});
    partial.resize(7);
    command(fc::kArrayCommandId, fc::arrayCommand({{6, 0, -0.5F}}));
    command(fc::kArrayCommandId, partial);
    EXPECT_EQ(compare(4), 3750U);
    EXPECT_EQ(compare(5), 0U) << "the fragment is not applied";
    command(fc::kArrayCommandId, {});
    command(fc::kRawCommandId, {});
    EXPECT_EQ(compare(4), 3750U);
    EXPECT_EQ(compare(0), 3000U);
    // Sixteen actuator commands, one past the type's maximum, and thirty RawCommand elements.
    command(fc::kArrayCommandId, fc::arrayCommand({{1, 0, 0.0F}, {1, 0, 0.0F}, {1, 0, 0.0F}, {1, 0, 0.0F},
                                                   {1, 0, 0.0F}, {1, 0, 0.0F}, {1, 0, 0.0F}, {1, 0, 0.0F},
                                                   {1, 0, 0.0F}, {1, 0, 0.0F}, {1, 0, 0.0F}, {1, 0, 0.0F},
                                                   {1, 0, 0.0F}, {1, 0, 0.0F}, {1, 0, 0.0F}, {5, 0, 1.0F}}));
    EXPECT_EQ(compare(4), 3750U) << "the sixteenth command is not used";
    command(fc::kRawCommandId, fc::rawCommand(std::vector<int>(30, 8191)));
    EXPECT_EQ(compare(3), 6000U);
}

// Three Panic messages make a run while each comes at most 500 ms after the one before.
TEST_F(RcPwm, PanicMessagesFiveHundredMillisecondsApartMakeARunFiveHundredAndOneDoNot)
{
    for (const uint32_t apart : {500U, 501U}) {
        InitRcpwm();
        for (uint32_t k = 0; k < 3; ++k) {
            osTickCount = 1000 + k * apart;
            rcpwm->panicHandleXport();
        }
        EXPECT_EQ(rcpwm->rcpwmPanicking(), apart == 500U) << apart << " ms apart";
    }
    osTickCount = 0;
}

}  // namespace
