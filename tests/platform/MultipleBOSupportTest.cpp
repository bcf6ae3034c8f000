#include "platform/recording/MultipleBOSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <set>

#include "platform/KeyTree.h"

namespace {

class BreakoutMapping : public ::testing::TestWithParam<int> {};

TEST_P(BreakoutMapping, BothDirectionsAgreeForEveryChannel) {
    const int breakouts = GetParam();
    CKeyTree study;
    CDataReaderMultipleBOSupport bo;
    EXPECT_TRUE(bo.setHeadboxType(20, breakouts, &study));
    const int stored = 32 + 128 * breakouts;
    EXPECT_EQ(bo.GetStorageChannelCount(), stored);
    EXPECT_EQ(bo.GetCoveredChannelCount(), 128 * breakouts);
    EXPECT_EQ(bo.GetConfigurationChannelCount(), 544);

    std::set<int> configs;
    for (int s = 0; s < stored; ++s) {
        int c = bo.ChannelNumber_StorageToConfiguration(s);
        ASSERT_GE(c, 0) << s;
        ASSERT_LT(c, 544) << s;
        EXPECT_TRUE(configs.insert(c).second) << "two storage slots for configuration " << c;
        EXPECT_EQ(bo.ChannelNumber_ConfigurationToStorage(c), s);
    }
    int mapped = 0;
    for (int c = 0; c < 544; ++c) {
        int s = bo.ChannelNumber_ConfigurationToStorage(c);
        bool onUnusedBreakout = c < 512 && c >= 128 * breakouts;
        EXPECT_EQ(s < 0, onUnusedBreakout) << c;
        if (s >= 0) {
            ++mapped;
            EXPECT_EQ(bo.ChannelNumber_StorageToConfiguration(s), c);
        }
    }
    EXPECT_EQ(mapped, stored);
    // The base unit's DC inputs are stored first, so the orders differ.
    EXPECT_EQ(bo.ChannelNumber_StorageToConfiguration(0), 512);
    EXPECT_EQ(bo.ChannelNumber_StorageToConfiguration(32), 0);
    EXPECT_EQ(bo.ChannelNumber_ConfigurationToStorage(543), 31);
    for (int bad : {-1, stored, INT_MIN, INT_MAX}) EXPECT_EQ(bo.ChannelNumber_StorageToConfiguration(bad), -1);
    for (int bad : {-1, 544, INT_MIN, INT_MAX}) EXPECT_EQ(bo.ChannelNumber_ConfigurationToStorage(bad), -1);
}

INSTANTIATE_TEST_SUITE_P(Breakouts, BreakoutMapping, ::testing::Values(1, 2, 3, 4));

TEST(BreakoutMapping, AbsurdBreakoutCountsAreClamped) {
    struct Case {
        int given, used;
    } cases[] = {{0, 1}, {-5, 1}, {5, 4}, {INT_MAX, 4}, {INT_MIN, 1}};
    for (const auto& c : cases) {
        CDataReaderMultipleBOSupport bo;
        EXPECT_FALSE(bo.setHeadboxType(20, c.given, nullptr)) << c.given;
        EXPECT_EQ(bo.GetBreakouts(), c.used) << c.given;
        EXPECT_EQ(bo.GetStorageChannelCount(), 32 + 128 * c.used);
    }
}

TEST(BreakoutMapping, OtherHeadboxesMapOneToOne) {
    CDataReaderMultipleBOSupport bo;
    ASSERT_TRUE(bo.setHeadboxType(5, 2, nullptr));
    EXPECT_EQ(bo.GetStorageChannelCount(), 32);
    EXPECT_EQ(bo.GetCoveredChannelCount(), 32);
    for (int c = 0; c < 32; ++c) {
        EXPECT_EQ(bo.ChannelNumber_ConfigurationToStorage(c), c);
        EXPECT_EQ(bo.ChannelNumber_StorageToConfiguration(c), c);
    }
    EXPECT_EQ(bo.ChannelNumber_ConfigurationToStorage(32), -1);

    // Unknown headboxes map nothing, also after a valid setup.
    for (int type : {0, 28, -3}) {
        EXPECT_FALSE(bo.setHeadboxType(type, 2, nullptr));
        EXPECT_EQ(bo.GetStorageChannelCount(), 0);
        EXPECT_EQ(bo.ChannelNumber_ConfigurationToStorage(0), -1);
        EXPECT_EQ(bo.ChannelNumber_StorageToConfiguration(0), -1);
    }
}

} // namespace
