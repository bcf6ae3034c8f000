// Simulated samples, read through the ranges the recorder really stores
// (the firmware's reported ranges with its known quirks corrected), must look
// like the signals of their inputs. Headboxes whose firmware misreports its
// ranges are the ones that can go wrong here: signals generated in the
// reported ranges land at the edge of the corrected ones.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "platform/appcommon/HeadboxConfig.h"
#include "platform/recording/Montage.h"
#include "platform/recording/WaveType.h"
#include "support/TempDir.h"
#include "tools/simulator/StudySimulator.h"

using namespace sk::sim;

namespace {

struct RangeCase {
    int type;
    const wchar_t* firmware; // old firmware where the headbox has a reporting quirk
    int studyGroup;
};

// Keeps gtest from dumping the struct's bytes into the log.
void PrintTo(const RangeCase& c, std::ostream* os)
{
    *os << "headbox " << c.type << ", firmware ";
    for (const wchar_t* f = c.firmware; *f; ++f) *os << static_cast<char>(*f);
    *os << ", study group " << c.studyGroup;
}

double Physical(int32_t raw, const CKadeHeadbox::ChannelRange& r)
{
    return r.physicalMinimum + (static_cast<double>(raw) - r.digitalMinimum) * (r.physicalMaximum - r.physicalMinimum) /
                                   (static_cast<double>(r.digitalMaximum) - r.digitalMinimum);
}

class SimulatedRanges : public ::testing::TestWithParam<RangeCase> {};

TEST_P(SimulatedRanges, PhysicalValuesArePlausibleForTheirInput)
{
    const RangeCase c = GetParam();
    sk::test::TempDir dir("ranges");
    SimOptions o;
    o.folder = dir.path();
    o.headboxType = c.type;
    o.hbSwVersion = c.firmware;
    o.studyGroup = c.studyGroup;
    o.sampleRate = 64;
    o.durationSeconds = 4;
    o.epochSeconds = 1;
    o.outOfRangeValues = false; // the out-of-range codes are meant to be implausible
    const SimResult r = SimulateStudy(o);
    ASSERT_TRUE(r.ok) << std::string(r.error.begin(), r.error.end());
    const SimSignal sig(o);
    ASSERT_TRUE(sig.ok());
    const auto ranges = CKadeHeadboxConfig::CreateHeadbox(c.type)->GetStorageRanges();
    ASSERT_EQ(static_cast<int>(ranges.size()), r.channelCount);

    for (int ch = 0; ch < r.channelCount; ++ch) {
        const auto& rg = ranges[static_cast<size_t>(r.configurationIndex[ch])];
        const int display = sk::DefaultDisplayType(c.type, r.configurationIndex[ch]);
        int64_t n = 0, outside = 0;
        double lo = HUGE_VAL, hi = -HUGE_VAL, peak = 0;
        for (const SimRun& run : r.runs) {
            for (int64_t s = run.firstStamp; s < run.firstStamp + run.samples; ++s) {
                const double p = Physical(sig.Value(ch, s), rg);
                lo = std::min(lo, p);
                hi = std::max(hi, p);
                peak = std::max(peak, std::fabs(p));
                ++n;
                if (!r.channelIsDC[ch] && display != sk::display::ECG) outside += std::fabs(p) > 500.0;
            }
        }
        SCOPED_TRACE("headbox " + std::to_string(c.type) + " channel " + std::to_string(ch));
        if (!r.channelIsDC[ch] && display == sk::display::ECG) {
            // R waves around a millivolt.
            EXPECT_LE(peak, 5000.0);
            EXPECT_GE(peak, 300.0);
        } else if (!r.channelIsDC[ch]) {
            // EEG and polygraphic inputs: tens of microvolts around zero.
            EXPECT_LE(outside, n / 100) << lo << " .. " << hi << " uV";
            EXPECT_GE(peak, 5.0);
        } else if (rg.units == CPhysicalUnits::Percent) {
            EXPECT_GE(lo, 50.0);
            EXPECT_LE(hi, 100.0);
        } else if (rg.units == CPhysicalUnits::BeatsPerMinute) {
            EXPECT_GE(lo, 30.0);
            EXPECT_LE(hi, 200.0);
        } else {
            // Other DC inputs drift inside their range, away from its limits.
            const double centre = (rg.physicalMaximum + rg.physicalMinimum) / 2;
            const double half = std::fabs(rg.physicalMaximum - rg.physicalMinimum) / 2;
            EXPECT_LE(std::max(hi - centre, centre - lo), 0.9 * half) << lo << " .. " << hi;
        }
    }
}

// Old firmware versions where the headbox has one: 14 reports a smaller AC
// gain before 4.0, 26 and 27 the oximeter's protocol range before 2.0; 24 and
// 25 misdescribe their inputs on every version.
INSTANTIATE_TEST_SUITE_P(Headboxes, SimulatedRanges,
                         ::testing::Values(RangeCase{1, L"3.2", 1}, RangeCase{7, L"3.2", 1},
                                           RangeCase{14, L"3.2", 1}, RangeCase{24, L"3.2", 2},
                                           RangeCase{25, L"5.0", 2}, RangeCase{26, L"1.5", 2},
                                           RangeCase{27, L"1.9", 2}),
                         [](const auto& info) { return "Headbox" + std::to_string(info.param.type); });

} // namespace
