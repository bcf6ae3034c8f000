#pragma once
// Reading back annotation records the way an EDF+ reader does, written here
// independently of the annotation writer so that the tests check its bytes
// rather than restate its code.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace sk::test {

// One time-stamped annotation list: onset and duration as written, then its
// texts (the time-keeping TAL has one empty text).
struct Tal {
    std::string onset;
    std::string duration;
    std::vector<std::string> texts;
};

// Splits a record into TALs, checking the structure as a reader would: every
// TAL ends with 0x14 0x00, the rest of the record is zero. A malformed record
// fails the test.
inline std::vector<Tal> SplitRecord(const std::string& rec) {
    std::vector<Tal> tals;
    size_t pos = 0;
    while (pos < rec.size() && rec[pos] != '\0') {
        const size_t end = rec.find('\0', pos);
        if (end == std::string::npos) {
            ADD_FAILURE() << "TAL without its closing 0x00";
            break;
        }
        const std::string raw = rec.substr(pos, end - pos);
        pos = end + 1;
        const size_t sep = raw.find('\x14');
        if (sep == std::string::npos || raw.back() != '\x14') {
            ADD_FAILURE() << "malformed TAL";
            break;
        }
        Tal t;
        t.onset = raw.substr(0, sep);
        if (const size_t d = t.onset.find('\x15'); d != std::string::npos) {
            t.duration = t.onset.substr(d + 1);
            t.onset.resize(d);
        }
        for (size_t b = sep + 1; b < raw.size();) {
            const size_t e = raw.find('\x14', b);
            t.texts.push_back(raw.substr(b, e - b));
            b = e + 1;
        }
        tals.push_back(t);
    }
    for (; pos < rec.size(); ++pos)
        if (rec[pos] != '\0') {
            ADD_FAILURE() << "non-zero byte after the TALs at " << pos;
            break;
        }
    return tals;
}

// Onset text to seconds; the sign is mandatory.
inline double OnsetSeconds(const std::string& text) {
    EXPECT_TRUE(!text.empty() && (text[0] == '+' || text[0] == '-')) << text;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    EXPECT_EQ(end, text.c_str() + text.size()) << text;
    return v;
}

// UTF-8 of the BMP texts these tests generate (encoded here independently of
// the writer's own conversion).
inline std::string Utf8(const wchar_t* w) {
    std::string out;
    for (; *w; ++w) {
        const auto c = static_cast<uint32_t>(*w);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

} // namespace sk::test
