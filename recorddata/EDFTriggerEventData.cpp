#include "recorddata/EDFTriggerEventData.h"

#include "platform/recording/SampleFrame.h"

CEDFTriggerEventData::CEDFTriggerEventData() { m_mask = frame::kFlagTrigger; }

CEDFTriggerEventData::~CEDFTriggerEventData() = default;

// "Misc" keeps readers from taking the 0/1 stream for EEG; readers that look
// for a stimulus channel by name find "Trigger".
std::wstring CEDFTriggerEventData::GetLabel() const { return L"Misc Trigger"; }
