// The library's own strings: log lines and exception messages cut on whole
// characters, the bounded formatter, and the check and conversion of the
// VM's strings, each judged by the model's one decoder of modified UTF-8.
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "model.h"
#include "modified_utf8.h"

namespace {

const std::string kSmile = "\xF0\x9F\x98\x80";        // U+1F600 in standard UTF-8's four bytes
const std::string kPair = "\xED\xA0\xBD\xED\xB8\x80";  // and as modified UTF-8 writes it

// The size of the character at s[i] as the decoder reads it (a four-byte
// form included), 0 when there is none.
size_t charAt(const std::string& s, size_t i) {
    for (size_t n = 1; n <= 4 && i + n <= s.size(); n++) {
        if (model::decodeModifiedUtf8(s.data() + i, n, true, nullptr)) {
            return n;
        }
    }
    return 0;
}

// Where s cut to limit bytes must end: after its last whole character, and
// before a high surrogate whose low half the cut took away.
size_t wholeEnd(const std::string& s, size_t limit) {
    size_t end = 0, last = 0;
    for (size_t n; end < s.size() && (n = charAt(s, end)) != 0 && end + n <= limit; end += n) {
        last = end;
    }
    bool high = end - last == 3 && s[last] == '\xED' && (s[last + 1] & 0xF0) == 0xA0;  // ED A0 to ED AF
    return high ? last : end;
}

std::string times(int n, const std::string& s) {
    return n > 0 ? s + times(n - 1, s) : "";
}

// The check refuses exactly what the decoder refuses, at the offset of the
// first character the decoder cannot read; what it accepts converts to
// modified UTF-8 that the decoder reads as the same UTF-16 units.
bool judgedAsTheDecoderJudges(const std::string& s) {
    long long bad = -1;
    size_t four = 0;
    for (size_t i = 0, n; bad < 0 && i < s.size(); i += n) {
        n = charAt(s, i);
        bad = n == 0 ? static_cast<long long>(i) : -1;
        four += n == 4;
    }
    size_t length = 0, fourByteForms = 0;
    long long found = findNonModifiedUtf8(s.c_str(), &length, &fourByteForms);
    if (found != bad || bad >= 0) {
        return found == bad;
    }
    char out[32];
    size_t capacity = length + 2 * four + 1;
    convertFourByteForms(s.c_str(), length, out, capacity);
    std::u16string expected, got;
    return length == s.size() && fourByteForms == four &&
           model::decodeModifiedUtf8(s.data(), length, true, &expected) &&
           model::decodeModifiedUtf8(out, capacity - 1, false, &got) && got == expected;
}

int formatted(char* buffer, size_t size, const char* format, ...) ZEV_PRINTF_FORMAT(3, 4);
int formatted(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = formatBounded(buffer, size, format, args);
    va_end(args);
    return result;
}

}  // namespace

// Log lines (254 bytes) and exception messages (63) as the VM and Java get
// them, and every cut of each text, end where the decoder says a whole
// character ends.
TEST(Messages, AreCutOnWholeCharacters) {
    const std::string texts[] = {
        "Illegal id 7",
        std::string(300, 'x'),
        std::string(253, 'x') + "\xE2\x82\xAC",
        "x" + times(100, "\xE2\x82\xAC"),
        std::string(60, 'x') + kPair + "z",
        std::string(251, 'x') + kPair,
        times(20, "a\xC3\xA9\xE0\xA4\x85\xE2\x82\xAC" + kPair + "\xC0\x80\xF0\x9F\x98\x80\xED\xAF\xBF\xED\xBF\xBF"),
    };
    model::start();
    model::Thread t("main");
    model::load(t);
    for (const std::string& text : texts) {
        logMessage(LOG_ERROR, "%s", text.c_str());
        EXPECT_EQ(t.log.back().text.c_str(), text.substr(0, wholeEnd(text, 254)));
        throwByName(&t, "java/lang/IllegalStateException", "%s", text.c_str());
        EXPECT_EQ(t.pendingMessage().c_str(), text.substr(0, wholeEnd(text, 63)));
        t.clearPending();
        for (size_t cut = 0; cut <= text.size(); cut++) {
            ASSERT_EQ(wholeCharacterLength(text.c_str(), cut), wholeEnd(text, cut)) << cut;
        }
    }
}

TEST(Messages, WithoutTheRecorderInterfaceGoToStandardError) {
    testing::internal::CaptureStderr();
    logMessage(LOG_INFO, "hello %d", 42);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ZEV [5]: hello 42\n");
}

TEST(FormatBounded, AnswersTheLengthWrittenOrMinusOne) {
    struct Row {
        size_t size;
        const char* text;
        int result;
        const char* buffer;
    } rows[] = {
        {0, "abc", -1, ""},           {8, "id 7", 4, "id 7"},
        {8, "1234567", 7, "1234567"}, {8, "12345678", -1, "1234567"},
        {8, "123456\xC3\xA9", -1, "123456"},  // cut, then back to a whole character
    };
    char buffer[8] = {};
    EXPECT_EQ(formatted(nullptr, 8, "%s", "abc"), -1);
    for (const Row& row : rows) {
        EXPECT_EQ(formatted(buffer, row.size, "%s", row.text), row.result) << row.text;
        EXPECT_STREQ(buffer, row.buffer);
    }
}

// Every string of one, two and three bytes (a NUL ends one); every four-byte
// string led by F0 to FF whose last two bytes lie on the edges of the
// continuation range; and every four-byte form, U+10000 to U+10FFFF, which
// becomes a surrogate pair.
TEST(ModifiedUtf8, IsCheckedAndConvertedAsTheDecoderReadsIt) {
    auto byte = [](unsigned value) { return static_cast<char>(value); };
    for (unsigned bytes = 0x10000; bytes <= 0xFFFFFF; bytes++) {
        const char s[] = {byte(bytes >> 16), byte(bytes >> 8), byte(bytes), 0};
        ASSERT_TRUE(judgedAsTheDecoderJudges(s)) << std::hex << bytes;
    }
    const char edges[] = {'\x7F', '\x80', '\xBF', '\xC0'};
    for (unsigned lead = 0xF000; lead <= 0xFFFF; lead++) {  // F0 to FF, then any byte but NUL
        for (int edge = 0; edge < 16 && byte(lead) != 0; edge++) {
            ASSERT_TRUE(judgedAsTheDecoderJudges({byte(lead >> 8), byte(lead), edges[edge / 4], edges[edge % 4]}))
                << std::hex << lead << " " << edge;
        }
    }
    for (unsigned point = 0x10000; point <= 0x10FFFF; point++) {
        const char form[] = {byte(0xF0 | point >> 18), byte(0x80 | (point >> 12 & 0x3F)),
                             byte(0x80 | (point >> 6 & 0x3F)), byte(0x80 | (point & 0x3F)), 0};
        ASSERT_TRUE(judgedAsTheDecoderJudges(form)) << std::hex << point;
    }
}

// The conversion reads at most length bytes and writes at most capacity,
// even when the VM changed the string after the check measured it.
TEST(ModifiedUtf8, TheConversionStaysInsideWhatTheCheckMeasured) {
    struct Row {
        std::string string;  // as the conversion finds it
        size_t length, capacity;
        std::string out;
    } rows[] = {
        {"a" + kSmile + "\xC0\x80\xC3\xA9", 9, 12, "a" + kPair + "\xC0\x80\xC3\xA9"},
        {kSmile, 4, 5, kSmile},                    // measured as four one-byte characters
        {kSmile, 4, 6, kSmile},                    // room for the pair, not its terminator
        {kSmile + kSmile, 8, 11, kPair + kSmile},  // measured with one four-byte form
        {"ab" + kSmile, 3, 4, "ab\xF0"},           // its end moved past the length
        {"abcdef", 2, 3, "ab"},
        {kSmile, 4, 1, ""},
    };
    for (const Row& row : rows) {
        std::vector<char> in(row.string.begin(), row.string.end());  // no terminator to stop on
        std::vector<char> out(row.capacity + 8, '\x7F');
        convertFourByteForms(in.data(), row.length, out.data(), row.capacity);
        EXPECT_EQ(std::string(out.data()), row.out);
        EXPECT_EQ(std::string(out.begin() + static_cast<long>(row.capacity), out.end()), std::string(8, '\x7F'))
            << "wrote past the capacity";
    }
}
