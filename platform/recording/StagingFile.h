#pragma once
// Staging component stand-in: reads a sleep staging file (".EPO") — fixed
// length epochs from a first epoch stamp, one stage code per epoch, a label
// naming the scoring, and the staging type it was scored under.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/SkrivoExport.h"
#include "platform/recording/EegFile.h"

class SKRIVO_API CStagingFile {
public:
    // Stored code of an epoch that was not scored.
    static constexpr uint8_t kUnscored = 0xFF;

    CStagingFile();
    ~CStagingFile();

    // Reads and validates the file. Non-zero on success; on failure pError
    // (if given) holds the code and text. A damaged header leaves no
    // staging; damaged epochs cost only themselves (see GetSkippedCount).
    int Open(const std::wstring& path, CEegFileException* pError = nullptr);
    // Parses a staging file image (used by Open and by the fuzzer).
    int OpenFromMemory(const uint8_t* data, size_t size, CEegFileException* pError = nullptr);
    void Close();

    // True when a file was opened whose scoring has been started.
    bool IsStagingPresent() const { return m_open && m_present; }
    int32_t GetEpochLength() const { return m_epochSeconds; } // whole seconds
    uint32_t GetEpochCount() const { return static_cast<uint32_t>(m_codes.size()); }
    int64_t GetFirstEpochStamp() const { return m_firstStamp; }
    const std::wstring& GetLabel() const { return m_label; }
    int32_t GetStagingType() const { return m_stagingType; }
    // Stage code of epoch n (1-based), 0..8; -1 when n is out of range, the
    // epoch was not scored, or nothing is open.
    int GetStageCode(uint32_t n) const;
    // True for an epoch whose code was lost to damage: a code the format
    // never stores behind a checksum that fails, or one cut off.
    bool IsEpochDamaged(uint32_t n) const { return n >= 1 && n <= m_damaged.size() && m_damaged[n - 1]; }
    // Announced epochs the last open lost to damage.
    int64_t GetSkippedCount() const { return m_skipped; }
    // Epochs the header announced when it passed its checks, -1 otherwise;
    // kept after a failed open, so that a caller can say what was lost.
    int64_t GetAnnouncedEpochs() const { return m_announced; }

private:
    int64_t m_announced = -1;
    bool m_open = false;
    bool m_present = false;
    int32_t m_epochSeconds = 0;
    int64_t m_firstStamp = -1;
    int32_t m_stagingType = -1;
    std::wstring m_label;
    std::vector<uint8_t> m_codes;
    std::vector<bool> m_damaged; // per epoch; empty when none is
    int64_t m_skipped = 0;
};
