#include "platform/recording/MultipleBOSupport.h"

#include <algorithm>

#include "platform/appcommon/HeadboxConfig.h"

namespace {

constexpr int kBreakoutChannels =
    CDataReaderMultipleBOSupport::kChannelsPerBreakout * CDataReaderMultipleBOSupport::kMaxBreakouts;

} // namespace

bool CDataReaderMultipleBOSupport::setHeadboxType(int headboxType, int breakouts, const CKeyTree* /*study*/) {
    m_type = 0;
    m_breakouts = 0;
    m_configCount = 0;
    if (headboxType == kMultiBreakoutHeadboxType) {
        m_type = headboxType;
        m_breakouts = std::clamp(breakouts, 1, kMaxBreakouts);
        m_configCount = kBreakoutChannels + kBaseDCChannels;
        return m_breakouts == breakouts;
    }
    std::unique_ptr<CKadeHeadbox> hb = CKadeHeadboxConfig::CreateHeadbox(headboxType);
    if (!hb) return false;
    m_type = headboxType;
    m_configCount = hb->GetChannelCount();
    return true;
}

int CDataReaderMultipleBOSupport::ChannelNumber_ConfigurationToStorage(int configuration) const {
    if (configuration < 0 || configuration >= m_configCount) return -1;
    if (m_type != kMultiBreakoutHeadboxType) return configuration;
    if (configuration >= kBreakoutChannels) return configuration - kBreakoutChannels; // base DC inputs first
    if (configuration >= m_breakouts * kChannelsPerBreakout) return -1;               // breakout not in use
    return kBaseDCChannels + configuration;
}

int CDataReaderMultipleBOSupport::ChannelNumber_StorageToConfiguration(int storage) const {
    if (storage < 0 || storage >= GetStorageChannelCount()) return -1;
    if (m_type != kMultiBreakoutHeadboxType) return storage;
    if (storage < kBaseDCChannels) return kBreakoutChannels + storage;
    return storage - kBaseDCChannels;
}

int CDataReaderMultipleBOSupport::GetCoveredChannelCount() const {
    if (m_type != kMultiBreakoutHeadboxType) return m_configCount;
    return m_breakouts * kChannelsPerBreakout;
}

int CDataReaderMultipleBOSupport::GetStorageChannelCount() const {
    if (m_type != kMultiBreakoutHeadboxType) return m_configCount;
    return kBaseDCChannels + m_breakouts * kChannelsPerBreakout;
}
