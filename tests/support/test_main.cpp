// The main() of every GoogleTest executable of the tree (see
// norvane_add_test).
//
// Death tests fork without re-executing the binary: the i386 build runs
// under qemu-i386, where a child cannot exec the test again.
//
// Every test must leave the stand-in as it found it. A listener notes the
// pool blocks, IRPs and device objects that exist when a test starts and
// fails the test when it ends with more of them, or with the thread's IRQL
// still raised, and checks the guard bytes of every live block, so an
// overrun of a block nobody has freed yet still stops the run in the test
// that made it. Its OnTestEnd runs before the result printer's (listeners
// hear the end of a test in reverse order), so the failure is charged to the
// test that leaked and shows in its own result.

#include "sim_kernel.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

namespace {

class StandInStateCheck : public testing::EmptyTestEventListener {
public:
    void OnTestStart(const testing::TestInfo &) override
    {
        blocksAtStart_.clear();
        for (const sim::pool::BlockInfo &b : sim::pool::Outstanding())
            blocksAtStart_.insert(b.address);
        irpsAtStart_ = sim::io::LiveIrps();
        devicesAtStart_ = sim::io::LiveDeviceObjects();
    }

    void OnTestEnd(const testing::TestInfo &) override
    {
        sim::pool::CheckAllGuards();
        std::ostringstream leaks;
        std::size_t newBlocks = 0;
        for (const sim::pool::BlockInfo &b : sim::pool::Outstanding()) {
            if (blocksAtStart_.count(b.address) != 0)
                continue;
            newBlocks++;
            leaks << "\n  '" << sim::pool::TagName(b.tag) << "' " << b.size << " bytes at " << b.address
                  << " (allocated from " << b.caller << ")";
        }
        if (newBlocks != 0)
            ADD_FAILURE() << "the test left " << newBlocks << " pool block(s) outstanding:" << leaks.str();

        const std::size_t irps = sim::io::LiveIrps();
        if (irps > irpsAtStart_)
            ADD_FAILURE() << "the test left " << irps - irpsAtStart_ << " IRP(s) allocated and not freed";
        const std::size_t devices = sim::io::LiveDeviceObjects();
        if (devices > devicesAtStart_)
            ADD_FAILURE() << "the test left " << devices - devicesAtStart_ << " device object(s) undeleted";

        const KIRQL irql = KeGetCurrentIrql();
        if (irql != PASSIVE_LEVEL) {
            ADD_FAILURE() << "the test ended at IRQL " << int(irql) << ", not PASSIVE_LEVEL";
            KfLowerIrql(PASSIVE_LEVEL);
        }
        // Injection a test forgot to clear must not fail the tests after it.
        sim::pool::ClearInjection();
    }

private:
    std::set<const void *> blocksAtStart_;
    std::size_t irpsAtStart_ = 0;
    std::size_t devicesAtStart_ = 0;
};

}  // namespace

int main(int argc, char **argv)
{
    // Before InitGoogleTest, so that --gtest_death_test_style still wins.
    GTEST_FLAG_SET(death_test_style, "fast");
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new StandInStateCheck);
    return RUN_ALL_TESTS();
}
