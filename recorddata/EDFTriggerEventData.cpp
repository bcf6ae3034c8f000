#include "recorddata/EDFTriggerEventData.h"

#include "platform/recording/SampleFrame.h"

CEDFTriggerEventData::CEDFTriggerEventData() { m_mask = frame::kFlagTrigger; }

CEDFTriggerEventData::~CEDFTriggerEventData() = default;

std::wstring CEDFTriggerEventData::GetLabel() const { return L"Trigger Event"; }
