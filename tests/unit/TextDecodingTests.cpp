// Bytes from outside become text the way the framework reads a file's text, without a read past
// their end: each input lies in a heap block of exactly its size, so that the address sanitizer
// build stops at any byte read beyond it.

#include "json/TextDecoding.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <ostream>
#include <string>

namespace
{
    struct Shape
    {
        const char* name;
        std::string bytes;
        juce::String text;
    };

    void PrintTo (const Shape& shape, std::ostream* os)  { *os << shape.name; }

    juce::String chars (std::initializer_list<juce::juce_wchar> codePoints)
    {
        juce::String s;

        for (auto c : codePoints)
            s += juce::String::charToString (c);

        return s;
    }

    class TextDecodingTest : public testing::TestWithParam<Shape> {};
}

TEST_P (TextDecodingTest, GivesTheFrameworksTextAndReadsOnlyTheBytesGiven)
{
    const auto& shape = GetParam();
    const auto size = shape.bytes.size();
    const std::unique_ptr<char[]> exact (new char[size]);
    std::memcpy (exact.get(), shape.bytes.data(), size);

    EXPECT_EQ (velm::decodeText (exact.get(), size), shape.text);
}

INSTANTIATE_TEST_SUITE_P (Shapes, TextDecodingTest, testing::Values (
    Shape { "Nothing",                       "",                                 "" },
    Shape { "OneByte",                       "{",                                "{" },
    Shape { "OneLatin1Byte",                 "\xe9",                             chars ({ 0xe9 }) },
    Shape { "Utf8",                          "{\"a\":\"\xc3\xa9\"}",             chars ({ '{', '"', 'a', '"', ':', '"', 0xe9, '"', '}' }) },
    Shape { "Utf8MarkAlone",                 "\xef\xbb\xbf",                     "" },
    Shape { "Utf8MarkAndAnObject",           "\xef\xbb\xbf{}",                   "{}" },
    Shape { "Utf8MarkCutShort",              "\xef\xbb",                         chars ({ 0xef, 0xbb }) },
    Shape { "Utf8MarkAndACutSequence",       "\xef\xbb\xbf\xe2\x82",             chars ({ 0xe2, 0x201a }) },
    Shape { "NoUtf8ReadAsWindows1252",       "{\x93x\x94}",                      chars ({ '{', 0x201c, 'x', 0x201d, '}' }) },
    Shape { "NulEndsTheText",                std::string ("{}\0{}", 5),          "{}" },
    Shape { "Utf16LittleEndianMarkAlone",    "\xff\xfe",                         "" },
    Shape { "Utf16LittleEndianWithMark",     std::string ("\xff\xfe{\0}\0", 6),  "{}" },
    Shape { "Utf16BigEndianWithMark",        std::string ("\xfe\xff\0{\0}", 6),  "{}" },
    Shape { "Utf16WithMarkAndAnOddByte",     std::string ("\xff\xfe{\0}", 5),    "{" },
    Shape { "Utf16WithoutMark",              std::string ("{\0}\0", 4),          "{" }),
    [] (const testing::TestParamInfo<Shape>& p) { return std::string (p.param.name); });
