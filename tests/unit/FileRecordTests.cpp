#include "download/FileEntry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

namespace
{
    /** The value that a manifest element gives for a key, as the framework's parser builds it;
        a null json means the key is absent. */
    juce::var manifestValue (const char* json)
    {
        const auto element = juce::JSON::parse (json == nullptr ? juce::String ("{}")
                                                                : "{\"v\": " + juce::String (json) + "}");
        EXPECT_TRUE (element.isObject()) << (json == nullptr ? "absent" : json);
        return element["v"];
    }

    std::string describe (const char* json)  { return json == nullptr ? "absent" : json; }
}

//==============================================================================
struct FlagCase
{
    const char* json;
    bool flag;
};

std::ostream& operator<< (std::ostream& os, const FlagCase& c)  { return os << describe (c.json); }

class ManifestFlag : public ::testing::TestWithParam<FlagCase> {};

TEST_P (ManifestFlag, ReadsRunAfterDownload)
{
    EXPECT_EQ (velm::manifestFlag (manifestValue (GetParam().json)), GetParam().flag);
}

INSTANTIATE_TEST_SUITE_P (Values, ManifestFlag, ::testing::Values (
    FlagCase { "true",        true },
    FlagCase { "\"yes\"",     true },
    FlagCase { "\"Yes\"",     true },
    FlagCase { "\"TRUE\"",    true },
    FlagCase { "\" true \"",  true },
    FlagCase { "\"1\"",       true },
    FlagCase { "\"-3\"",      true },
    FlagCase { "1",           true },
    FlagCase { "2.5",         true },
    FlagCase { "false",       false },
    FlagCase { "\"no\"",      false },
    FlagCase { "\"0\"",       false },
    FlagCase { "\"false\"",   false },
    FlagCase { "\"\"",        false },
    FlagCase { "\"maybe\"",   false },
    FlagCase { "0",           false },
    FlagCase { "0.0",         false },
    FlagCase { "null",        false },
    FlagCase { nullptr,       false }
));

//==============================================================================
struct SizeCase
{
    const char* json;
    double size;
};

std::ostream& operator<< (std::ostream& os, const SizeCase& c)  { return os << describe (c.json); }

class ManifestSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P (ManifestSize, ReadsFilesize)
{
    EXPECT_EQ (velm::manifestSize (manifestValue (GetParam().json)), GetParam().size);
}

INSTANTIATE_TEST_SUITE_P (Values, ManifestSize, ::testing::Values (
    SizeCase { "1234",            1234.0 },
    SizeCase { "1.5",             1.5 },
    SizeCase { "5000000000",      5000000000.0 },
    SizeCase { "\"1234\"",        1234.0 },
    SizeCase { "\" 12abc\"",      12.0 },
    SizeCase { "\"abc\"",         0.0 },
    SizeCase { "true",            1.0 },
    SizeCase { "false",           0.0 },
    SizeCase { "null",            0.0 },
    SizeCase { nullptr,           0.0 }
));

//==============================================================================
struct TextCase
{
    const char* json;
    const char* text;
};

std::ostream& operator<< (std::ostream& os, const TextCase& c)  { return os << describe (c.json); }

class ManifestText : public ::testing::TestWithParam<TextCase> {};

TEST_P (ManifestText, ReadsTextKeys)
{
    EXPECT_EQ (velm::manifestText (manifestValue (GetParam().json)).toStdString(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P (Values, ManifestText, ::testing::Values (
    TextCase { "\"setup.exe\"",   "setup.exe" },
    TextCase { "\"\"",            "" },
    TextCase { "42",              "42" },
    TextCase { "12345678901",     "12345678901" },
    TextCase { "true",            "1" },
    TextCase { "false",           "0" },
    TextCase { "null",            "" },
    TextCase { nullptr,           "" }
));

//==============================================================================
TEST (TruncateToInt64, KeepsTheIntegerPartWithinRange)
{
    constexpr auto max = std::numeric_limits<juce::int64>::max();
    constexpr auto min = std::numeric_limits<juce::int64>::min();

    const struct { double value; juce::int64 expected; } cases[] {
        { 0.0,        0 },
        { 0.9,        0 },
        { 2.5,        2 },
        { -2.5,       -2 },
        { 4294967296.5, 4294967296 },
        { 9007199254740992.0, 9007199254740992 },
        { 9223372036854775807.0, max },   // 2^63 as a double: just outside the range
        { 1e30,       max },
        { -1e30,      min },
        { std::numeric_limits<double>::infinity(),  max },
        { -std::numeric_limits<double>::infinity(), min },
        { std::nan (""), 0 }
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.value);
        EXPECT_EQ (velm::truncateToInt64 (c.value), c.expected);
    }
}

//==============================================================================
// Sizes that no file can have (negative, NaN) come from a hostile manifest as easily as real
// ones: they must neither lower the free space that a run asks for nor let a body grow unbounded.

TEST (BytesAllowed, IsTheIntegerPartOfARealSizeAndNothingOtherwise)
{
    constexpr auto max = std::numeric_limits<juce::int64>::max();
    constexpr auto inf = std::numeric_limits<double>::infinity();

    const struct { double size; juce::int64 expected; } cases[] {
        { 2048.0,         2048 },
        { 1.5,            1 },
        { 0.9,            0 },
        { -1.0,           0 },
        { -1e19,          0 },
        { -inf,           0 },
        { std::nan (""),  0 },
        { 1e30,           max },
        { inf,            max }
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.size);
        EXPECT_EQ (velm::bytesAllowed (c.size), c.expected);
    }
}

TEST (AddToTotal, AddsRealSizesInDoublePrecisionAndNothingElse)
{
    constexpr auto max = std::numeric_limits<juce::int64>::max();
    constexpr auto inf = std::numeric_limits<double>::infinity();
    constexpr juce::int64 pebibyte = (juce::int64) 1 << 50;

    const struct { juce::int64 total; double size; juce::int64 expected; } cases[] {
        { 0,        1.5,                  1 },
        { 1,        1.5,                  2 },
        { 100,      -1.0,                 100 },
        { pebibyte, -(double) pebibyte,   pebibyte },
        { 100,      std::nan (""),        100 },
        { 100,      -1e19,                100 },
        { 100,      -inf,                 100 },
        { 100,      inf,                  max },
        { 100,      1e30,                 max },
        { max,      1.0,                  max }
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (std::to_string (c.total) + " + " + std::to_string (c.size));
        EXPECT_EQ (velm::addToTotal (c.total, c.size), c.expected);
    }
}

TEST (SumOfDownloadedBytes, StopsAtTheEndOfTheRange)
{
    constexpr auto max = std::numeric_limits<juce::int64>::max();

    const struct { std::vector<juce::int64> counts; juce::int64 expected; } cases[] {
        { { 1, 2, 3 },                        6 },
        { { max / 2 + 1, max / 2 + 1, 5 },    max },
        { { max, max },                       max }
    };

    for (const auto& c : cases)
    {
        juce::OwnedArray<FileEntry> files;

        for (auto n : c.counts)
            files.add (new FileEntry())->setDownloadedBytes (n);

        SCOPED_TRACE (c.expected);
        EXPECT_EQ (velm::sumOfDownloadedBytes (files), c.expected);
    }
}

//==============================================================================
TEST (IsSafeFileName, AcceptsOnlyANameDirectlyInsideTheFolder)
{
    const struct { juce::String name; bool safe; } cases[] {
        { "setup.exe",                       true },
        { "a b.txt",                         true },
        { "...",                             true },
        { ".hidden",                         true },
        { "..x",                             true },
        { juce::String (juce::CharPointer_UTF8 ("caf\xc3\xa9.bin")), true },
        { "",                                false },
        { ".",                               false },
        { "..",                              false },
        { "/etc/passwd",                     false },
        { "../x",                            false },
        { "a/b",                             false },
        { "a\\b",                            false },
        { "x\ny",                            false },
        { "tab\tname",                       false },
        { juce::String::charToString (0x7f), false },
        { "name" + juce::String::charToString (0x1f), false }
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name.toStdString());
        EXPECT_EQ (velm::isSafeFileName (c.name), c.safe);
    }
}
