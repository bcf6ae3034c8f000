#pragma once
// Raw data file (".ERD"): a 64-byte CRawDataHeader followed by the sample
// data in the storage schema the header names (plain 32-bit samples, blocks
// of delta-coded variable-length integers, or channel-major blocks of
// bit-packed deltas). Samples are read through
// a CDataProducer; this class opens the file and validates the header.

#include <cstdint>

#include "platform/SkrivoExport.h"
#include "platform/recording/EegFile.h"

class SKRIVO_API CRawDataHeader : public CEegFileHeader {
public:
    int32_t m_type = 0;          // headbox type of the recording (0 = unknown, 1..27)
    uint16_t m_schema = 0;       // storage schema: 1 plain, 2 delta/varint blocks, 3 channel-major blocks
    uint16_t m_frameWord = 0;    // copied into word 0 of every sample frame
    double m_sampleFreq = 0.0;   // acquisition rate in Hz (stamps count at this rate)
    int32_t m_channelCount = 0;  // stored channels, 1..544
    int32_t m_decimation = 1;    // stamps per stored sample (1 = raw data)
    int64_t m_firstStamp = -1;   // stamp of the file's first sample, -1 when empty
    uint16_t m_version = 0;      // format version of the file
    uint16_t m_headerSize = 0;   // bytes before the sample data (64)

    int32_t GetType() const { return m_type; }
    uint16_t GetSchema() const { return m_schema; }
    uint16_t GetFrameWord() const { return m_frameWord; }
    double GetSampleFrequency() const { return m_sampleFreq; }
    int32_t GetChannelCount() const { return m_channelCount; }
    int32_t GetDecimation() const { return m_decimation; }
};

class SKRIVO_API CRawDataFile : public CEegFile {
public:
    CRawDataFile();
    ~CRawDataFile() override;

    const CEegFileHeader* GetHeader() const override;
    const CRawDataHeader* GetRawHeader() const;

protected:
    bool OnOpen(CEegFileException& err) override;
    void OnClose() override;

private:
    CRawDataHeader m_header;
    bool m_valid = false;
};
