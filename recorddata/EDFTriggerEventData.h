#pragma once
// "Misc Trigger": the trigger bit of every sample frame as a 0/1 stream.

#include "recorddata/EDFEventData.h"

class SKRIVO_API CEDFTriggerEventData final : public CEDFEventData {
public:
    CEDFTriggerEventData();
    ~CEDFTriggerEventData() override;
    std::wstring GetLabel() const override;
};
