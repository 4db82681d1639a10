// endpoint-sitl --stuck-dominant, both ways of running the node: a bus whose receive line is held
// dominant from power-on neither stops the node nor resets it, and joins once the line is released.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sitl/candump.hpp"
#include "sitl/bus_transfers.hpp"
#include "tests/node/sitl_firmware.hpp"

namespace {

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Exit status of endpoint-sitl with these arguments, its stderr in *err.
int runSitl(const std::string& args, std::string* err)
{
    const std::string err_path = "/tmp/sitl_stuck_" + std::to_string(::getpid()) + ".err";
    const int status = std::system((std::string(ENDPOINT_SITL) + " " + args + " >/dev/null 2>" + err_path).c_str());
    *err = slurp(err_path);
    std::remove(err_path.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class SitlStuck : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override { SITL_SKIP_WITHOUT_IMAGE(GetParam()); }
};
INSTANTIATE_TEST_SUITE_P(Firmware, SitlStuck, sitl_firmware::kBothWays, sitl_firmware::name);

TEST_P(SitlStuck, ABusStuckDominantFromPowerOnJoinsOnceReleased)
{
    const std::string base = "/tmp/sitl_stuck_" + std::to_string(::getpid());
    std::string err;
    ASSERT_EQ(runSitl(GetParam() + " --until 3.5 --stuck-dominant can2@0:2 --out " + base + ".out --console " +
                          base + ".con",
                      &err),
              0)
        << err;
    const std::string console = slurp(base + ".con");
    std::vector<sitl::LoggedFrame> sent;
    std::string error;
    ASSERT_TRUE(sitl::parseCandump(slurp(base + ".out"), &sent, &error)) << error;
    std::remove((base + ".out").c_str());
    std::remove((base + ".con").c_str());

    // One start-up, no watchdog reset; CAN3 joins when released.
    EXPECT_EQ(console, "4bxcan init ok\n4bxcan init ok\n3inak not cleared\ninit failed\n4bxcan init ok\n");
    // NodeStatus health per bus and second of sending.
    std::vector<std::pair<uint64_t, int>> status[3];
    for (const auto& f : sent) {
        if (bus::dataTypeOfMessage(f.frame.id) == bus::kNodeStatusId && !bus::isService(f.frame.id)) {
            status[f.port].emplace_back(f.time_us, f.frame.data[4] >> 6);
        }
    }
    for (unsigned port : {0U, 1U}) {
        ASSERT_EQ(status[port].size(), 3U) << port;
        EXPECT_LT(status[port][0].first, 1500000U) << port;
        EXPECT_EQ(status[port][0].second, 1) << "health WARNING while CAN3 is down";
        EXPECT_EQ(status[port][2].second, 0) << "OK once it has joined";
    }
    ASSERT_FALSE(status[2].empty());
    EXPECT_GE(status[2][0].first, 2000000U);
}

TEST(SitlStuckCli, BadValuesAreRefusedWithAReason)
{
    std::string err;
    for (const char* bad : {"--stuck-dominant can3", "--stuck-dominant can1@2:1", "--stuck-dominant can1@1",
                            "--live --stuck-dominant can0"}) {
        EXPECT_EQ(runSitl(bad, &err), 2) << bad;
        EXPECT_NE(err.find("--stuck-dominant"), std::string::npos) << bad << ": " << err;
    }
}

}  // namespace
