// The modified UTF-8 check against a decoder of its own that judges by code
// point values rather than byte ranges, over every two-byte string followed
// by the edges of every byte range; the conversion of four-byte forms; and
// cutting on whole characters, through logMessage as the VM sees it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diagnostics.h"
#include "library_state.h"
#include "modified_utf8.h"

namespace {

// Decodes the sequence at s[i]: its size, or 0 when it is not modified
// UTF-8 (four-byte forms count as valid); *codePoint receives its value.
size_t referenceSequence(const std::string& s, size_t i, unsigned* codePoint) {
    auto byte = [&](size_t k) { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u; };
    unsigned lead = byte(i);
    size_t size = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
    if (size == 0) {
        return 0;
    }
    unsigned value = size == 1 ? lead : lead & (0x7F >> size);
    for (size_t k = 1; k < size; k++) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    static const unsigned kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    bool nul = size == 2 && value == 0;  // C0 80
    if ((value < kSmallest[size] && !nul) || value > 0x10FFFF) {
        return 0;
    }
    *codePoint = value;
    return size;
}

// -1 when valid, else the offset of the first bad sequence.
long referenceCheck(const std::string& s, size_t* fourByteForms) {
    *fourByteForms = 0;
    size_t i = 0;
    while (i < s.size()) {
        unsigned codePoint;
        size_t size = referenceSequence(s, i, &codePoint);
        if (size == 0) {
            return static_cast<long>(i);
        }
        *fourByteForms += size == 4;
        i += size;
    }
    return -1;
}

std::string hex(const std::string& s) {
    std::string text;
    for (unsigned char c : s) {
        text += "0123456789abcdef"[c >> 4];
        text += "0123456789abcdef"[c & 15];
        text += ' ';
    }
    return text;
}

void expectSameJudgement(const std::string& s) {
    size_t length = 0;
    size_t fourByteForms = 0;
    size_t expectedFour = 0;
    long expected = referenceCheck(s, &expectedFour);
    long long got = findNonModifiedUtf8(s.c_str(), &length, &fourByteForms);
    if (got != expected || (expected < 0 && (length != s.size() || fourByteForms != expectedFour))) {
        FAIL() << hex(s) << ": offset " << got << " (expected " << expected << "), length "
               << length << ", four-byte forms " << fourByteForms;
    }
}

// What Java would hold: UTF-16 units of a modified UTF-8 string.
std::u16string javaUnits(const std::string& modified) {
    std::u16string units;
    size_t i = 0;
    while (i < modified.size()) {
        unsigned codePoint = 0;
        size_t size = referenceSequence(modified, i, &codePoint);
        EXPECT_TRUE(size >= 1 && size <= 3) << "not modified UTF-8 at " << i;
        if (size == 0) {
            return units;
        }
        units.push_back(static_cast<char16_t>(codePoint));
        i += size;
    }
    return units;
}

std::string converted(const std::string& s) {
    size_t length = 0;
    size_t fourByteForms = 0;
    EXPECT_EQ(findNonModifiedUtf8(s.c_str(), &length, &fourByteForms), -1);
    std::vector<char> out(length + 2 * fourByteForms + 1, '\x7f');
    convertFourByteForms(s.c_str(), s.size(), out.data(), out.size());
    EXPECT_EQ(out.back(), '\0') << "fills exactly the size it asks for";
    return std::string(out.data());
}

std::vector<std::string> logged;

void fakeLog(jint, const char* message) {
    logged.emplace_back(message);
}

}  // namespace

TEST(ModifiedUtf8, EveryShortStringJudgedAsItsCodePointsSay) {
    // Every first and second byte; as third and (after F0..FF) fourth bytes,
    // the edges of every range the check tells apart: fast under TSan too.
    const char kEdges[] = "\x01\x41\x7f\x80\x8f\x90\x9f\xa0\xaf\xb0\xbf\xc0\xc1\xc2\xdf\xe0"
                          "\xe1\xec\xed\xee\xef\xf0\xf1\xf3\xf4\xf5\xf7\xf8\xff";
    std::string s;
    for (int a = 1; a < 256; a++) {
        expectSameJudgement(std::string(1, static_cast<char>(a)));
        for (int b = 1; b < 256; b++) {
            expectSameJudgement(std::string{static_cast<char>(a), static_cast<char>(b)});
            for (char c : std::string(kEdges)) {
                s = {static_cast<char>(a), static_cast<char>(b), c};
                expectSameJudgement(s);
                for (const char* d = kEdges; a >= 0xF0 && *d != '\0'; d++) {
                    expectSameJudgement(s + *d);  // four-byte leads and beyond
                }
            }
            if (HasFailure()) {
                return;
            }
        }
    }
}

TEST(ModifiedUtf8, FourByteFormsBecomeTheirSurrogatePairs) {
    EXPECT_EQ(javaUnits(converted("\xf0\x9f\x98\x80")), u"\U0001F600");
    EXPECT_EQ(javaUnits(converted("a\xf0\x90\x80\x80z\xf4\x8f\xbf\xbf")), u"a\U00010000z\U0010FFFF");
    // Modified UTF-8's own forms are copied as they are.
    std::string own = "\xc0\x80\xed\xa0\xbd\xed\xb8\x80\xc3\xa9\xe2\x82\xac";
    EXPECT_EQ(converted(own), own);
    EXPECT_EQ(converted("\xf0\x9f\x98\x80" + own), "\xed\xa0\xbd\xed\xb8\x80" + own);
}

TEST(ModifiedUtf8, CutsEndOnWholeCharacters) {
    // Every cut of a text of one- to three-byte characters and surrogate pairs.
    std::string text = "a\xc3\xa9\xe2\x82\xac\xed\xa0\xbd\xed\xb8\x80" "b\xc0\x80\xed\xa0\xbd\xed\xb8\x80";
    std::vector<size_t> boundaries = {0, 1, 3, 6, 12, 13, 15, 21};  // after whole characters
    for (size_t cut = 0; cut <= text.size(); cut++) {
        size_t whole = 0;
        for (size_t b : boundaries) {
            if (b <= cut) {
                whole = b;
            }
        }
        EXPECT_EQ(wholeCharacterLength(text.c_str(), cut), whole) << "cut at " << cut;
    }
    // A four-byte form cut anywhere inside goes whole.
    for (size_t cut = 1; cut < 4; cut++) {
        EXPECT_EQ(wholeCharacterLength("x\xf0\x9f\x98\x80", 1 + cut), 1u);
    }
}

TEST(ModifiedUtf8, ALongLogLineEndsOnAWholeCharacter) {
    VmRecorderInterface vm{};
    vm.log = fakeLog;
    libraryState.recorder_interface = &vm;
    // "x" then three-byte characters: 254 bytes end one byte into the 85th.
    std::string euros;
    for (int i = 0; i < 100; i++) {
        euros += "\xe2\x82\xac";
    }
    logMessage(LOG_ERROR, "x%s", euros.c_str());
    logMessage(LOG_ERROR, "%s", euros.c_str());
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[0], "x" + euros.substr(0, 84 * 3));
    EXPECT_EQ(logged[1], euros.substr(0, 84 * 3));
    libraryState.recorder_interface = nullptr;
}
