// JSON from anywhere is parsed only when its nesting is within the bound: the framework's parser
// recurses once per level and would run out of stack on a text of a few megabytes of "[".

#include "json/BoundedJson.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace
{
    std::string nested (int depth, const std::string& inside = {})
    {
        return std::string ((size_t) depth, '[') + inside + std::string ((size_t) depth, ']');
    }

    juce::String fromUtf8 (const std::string& text)
    {
        return juce::String::fromUTF8 (text.data(), (int) text.size());
    }
}

//==============================================================================
// The depth is counted as the parser reads: strings, escapes, numbers and the end of the top-level
// value. A minus sign that no digit follows would make the parser misread what comes after it.

struct DepthCase
{
    const char* name;
    std::string text;
    int depth;
};

std::ostream& operator<< (std::ostream& os, const DepthCase& c)  { return os << c.name; }

class JsonNestingDepth : public ::testing::TestWithParam<DepthCase> {};

TEST_P (JsonNestingDepth, IsTheParsersDepth)
{
    const auto& c = GetParam();
    EXPECT_EQ (velm::jsonNestingDepth (fromUtf8 (c.text)), c.depth) << c.text;
}

INSTANTIATE_TEST_SUITE_P (Texts, JsonNestingDepth, ::testing::Values (
    DepthCase { "Empty",                    "",                                  0 },
    DepthCase { "EmptyObject",              "{}",                                1 },
    DepthCase { "Mixed",                    R"({"a":[{"b":[1,2]},[]]})",         4 },
    DepthCase { "BracketsInAString",        R"({"a":"[[[[{{{{"})",               1 },
    DepthCase { "EscapedQuoteKeepsString",  R"({"a":"\"[[[["})",                 1 },
    DepthCase { "EscapedBackslashEndsIt",   R"({"a":"\\"},[[[[)",                1 },
    DepthCase { "SingleQuotedValue",        R"({"a":'"[[[['})",                  1 },
    DepthCase { "OtherQuoteInsideString",   R"({"a":"'[[[["})",                  1 },
    DepthCase { "UnicodeEscape",            R"({"a":"\u005b[["})",               1 },
    DepthCase { "NothingAfterTheTopLevel",  "[] [[[[[[[[",                       1 },
    DepthCase { "Unterminated",             "[[[[",                              4 },
    DepthCase { "UnterminatedString",       R"({"a":"[[[[)",                     1 },
    DepthCase { "ClosersFirst",             "]]]][[[[",                          0 },
    DepthCase { "TopLevelString",           R"("[[[[")",                         0 },
    DepthCase { "CountingStopsPastTheBound", std::string (100000, '['),          velm::maxJsonNesting + 1 },
    DepthCase { "MinusBlanksAndDigit",      "[- \t\n5, -0.5e-3]",                 1 },
    DepthCase { "MinusInAString",           R"(["-]", '-'])",                    1 },
    DepthCase { "MinusAfterTheTopLevel",    "[] -",                              1 },
    DepthCase { "MinusBeforeACloser",       "[-]," + std::string (100, '['),     velm::misreadJsonDepth },
    DepthCase { "MinusBeforeAQuote",        R"({"a":-"}", "b":[[[[)",            velm::misreadJsonDepth },
    DepthCase { "MinusBlanksAndAQuote",     "[- \t'],[[[['",                     velm::misreadJsonDepth },
    DepthCase { "MinusAtTheEnd",            "[-",                                velm::misreadJsonDepth },
    DepthCase { "MinusAndBlanksAtTheEnd",   "[-  ",                              velm::misreadJsonDepth },
    DepthCase { "MinusBeforeALetter",       "[-nan]",                            velm::misreadJsonDepth }
), [] (const auto& p) { return std::string (p.param.name); });

//==============================================================================
// Within the bound the text is what the framework makes of it; beyond it, no value at all.

struct ParseCase
{
    const char* name;
    std::string text;
    bool parsed;    // false: too deep, and so no value
};

std::ostream& operator<< (std::ostream& os, const ParseCase& c)  { return os << c.name; }

class BoundedParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P (BoundedParse, IsTheFrameworksValueOrNothing)
{
    const auto& c = GetParam();
    const auto text = fromUtf8 (c.text);
    const auto value = velm::parseJson (text);

    if (c.parsed)
    {
        EXPECT_FALSE (value.isVoid());
        EXPECT_EQ (juce::JSON::toString (value, true), juce::JSON::toString (juce::JSON::parse (text), true));
    }
    else
    {
        EXPECT_TRUE (value.isVoid());
    }
}

INSTANTIATE_TEST_SUITE_P (Texts, BoundedParse, ::testing::Values (
    ParseCase { "Manifest",                 R"({"files":[{"filename":"[a].bin","filesize":3}],"sku":"{"})", true },
    ParseCase { "AtTheBound",               nested (velm::maxJsonNesting),                          true },
    ParseCase { "ObjectAtTheBound",         R"({"files":[],"sku":)" + nested (velm::maxJsonNesting - 1) + "}", true },
    ParseCase { "BracketsInStringsDontCount", R"({"sku":")" + std::string (100000, '[') + R"("})", true },
    ParseCase { "GarbageAfterTheTopLevel",  "{}" + std::string (100000, '['),                       true },
    ParseCase { "OnePastTheBound",          nested (velm::maxJsonNesting + 1),                      false },
    ParseCase { "TwoMillionOpenBrackets",   std::string (2000000, '['),                             false },
    ParseCase { "FilesAMillionDeep",        R"({"files":)" + nested (1000000) + "}",                false },
    ParseCase { "ObjectsAMillionDeep",      [] { std::string s; for (int i = 0; i < 1000000; ++i) s += R"({"a":)"; return s; }(), false },
    ParseCase { "NegativeNumbers",          R"({"files":[{"filesize":-1},{"filesize":- 2.5e-3}]})",  true },
    ParseCase { "MinusBeforeACloser",       "[-]," + std::string (1000000, '['),                    false },
    ParseCase { "MinusBeforeACloserInObject", R"({"a":-},"b":)" + std::string (1000000, '['),       false },
    ParseCase { "MinusAtTheEnd",            "[-",                                                   false }
), [] (const auto& p) { return std::string (p.param.name); });
