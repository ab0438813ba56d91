#include <gtest/gtest.h>

#include "support/simrun.h"
#include "support/testdir.h"

namespace {

TEST(Boot, QuietBootHandsOverToKinit) {
    test::TempDir dir;
    test::init_device(dir / "dev");
    const auto run = test::run_sim({"boot", dir / "dev"});
    EXPECT_EQ(run.exit_code, 0) << run.output;
    EXPECT_TRUE(run.contains("Press [ENTER] for recovery menu...       0 /")) << run.output;
    EXPECT_TRUE(run.contains("BOOTING DEFAULT.\n")) << run.output;
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit") << run.output;
}

}  // namespace
