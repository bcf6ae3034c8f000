#pragma once
// Helpers shared by the writer tests: a processor of fixed behaviour, key
// trees for templates, and file reading.

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/KeyTree.h"
#include "recorddata/EDFRecordData.h"

namespace sk::test {

// A signal whose record size is 2 x D x f (truncated), or a fixed size.
class FakeProcessor : public CEDFRecordData {
public:
    explicit FakeProcessor(std::wstring label = L"Fp1", int32_t fixedSize = -1)
        : m_label(std::move(label)), m_fixed(fixedSize) {
        SetUnits(L"uV");
    }
    std::wstring GetLabel() const override { return m_label; }
    void GetRange(int32_t& dmin, int32_t& dmax, double& pmin, double& pmax) const override {
        dmin = -32768;
        dmax = 32767;
        pmin = -3276.8;
        pmax = 3276.7;
    }
    int32_t GetRecordSize(double d, double f) const override {
        return m_fixed >= 0 ? m_fixed : static_cast<int32_t>(2.0 * d * f);
    }
    IEDFRecordWriter* GetWriter() override { return &m_writer; }

private:
    class Writer : public IEDFRecordWriter {
    public:
        uint32_t Write(int64_t, int64_t, const uint8_t*, uint32_t n, uint8_t* out) override {
            for (uint32_t i = 0; i < 2 * n; ++i)
                out[i] = 0;
            return 2 * n;
        }
    } m_writer;
    std::wstring m_label;
    int32_t m_fixed;
};

inline CKeyTree MakeTemplate(const std::wstring& format, const std::wstring& channels = L"RawData") {
    CKeyTree t;
    t.AddKey(L"ExportFormat", format);
    t.AddKey(L"ExportChannels", channels);
    t.AddKey(L"Extension", std::wstring(L".EDF"));
    return t;
}

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace sk::test
