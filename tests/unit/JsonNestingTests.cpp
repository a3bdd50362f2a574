// JSON from anywhere is parsed only within bounds on its nesting and on its values: the
// framework's parser recurses once per level and would run out of stack on a text of a few
// megabytes of "[", and a few megabytes of small arrays take gigabytes once parsed.

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

    std::string repeated (const std::string& unit, int times)
    {
        std::string s;

        for (int i = 0; i < times; ++i)
            s += unit;

        return s;
    }

    /** An array of zeros that the shape counts as holding this many values besides itself. */
    std::string numbers (int count)
    {
        return "[" + repeated ("0,", count - 1) + "0]";
    }

    /** The bytes as they are, valid UTF-8 or not: a string keeps whatever it is given. */
    juce::String fromUtf8 (const std::string& text)
    {
        return { juce::CharPointer_UTF8 (text.data()), juce::CharPointer_UTF8 (text.data() + text.size()) };
    }
}

//==============================================================================
// The text is measured as the parser reads it: strings, escapes, numbers and the end of the
// top-level value. Values are counted as one more than the brackets that open and the commas
// that separate; a minus sign that no digit follows would make the parser misread the text.

struct ShapeCase
{
    const char* name;
    std::string text;
    int depth, values;
    bool misread = false;
};

std::ostream& operator<< (std::ostream& os, const ShapeCase& c)  { return os << c.name; }

class JsonShape : public ::testing::TestWithParam<ShapeCase> {};

TEST_P (JsonShape, IsWhatTheParserMakesOfTheText)
{
    const auto& c = GetParam();
    const auto shape = velm::measureJson (fromUtf8 (c.text));
    EXPECT_EQ (shape.depth, c.depth);
    EXPECT_EQ (shape.values, c.values);
    EXPECT_EQ (shape.misread, c.misread);
}

INSTANTIATE_TEST_SUITE_P (Texts, JsonShape, ::testing::Values (
    ShapeCase { "Empty",                    "",                                  0, 1 },
    ShapeCase { "EmptyObject",              "{}",                                1, 2 },
    ShapeCase { "Mixed",                    R"({"a":[{"b":[1,2]},[]]})",         4, 8 },
    ShapeCase { "BracketsInAString",        R"({"a":"[[[[{{{{"})",               1, 2 },
    ShapeCase { "CommasInStrings",          R"(["a,b,c", 'd,e'])",               1, 3 },
    ShapeCase { "EscapedQuoteKeepsString",  R"({"a":"\"[[[["})",                 1, 2 },
    ShapeCase { "EscapedBackslashEndsIt",   R"({"a":"\\"},[[[[)",                1, 2 },
    ShapeCase { "SingleQuotedValue",        R"({"a":'"[[[['})",                  1, 2 },
    ShapeCase { "OtherQuoteInsideString",   R"({"a":"'[[[["})",                  1, 2 },
    ShapeCase { "UnicodeEscape",            R"({"a":"\u005b[["})",               1, 2 },
    ShapeCase { "NothingAfterTheTopLevel",  "[] [[[[[[[[,,,,",                   1, 2 },
    ShapeCase { "Unterminated",             "[[[[",                              4, 5 },
    ShapeCase { "UnterminatedString",       R"({"a":"[[[[)",                     1, 2 },
    ShapeCase { "ClosersFirst",             "]]]][[[[",                          0, 1 },
    ShapeCase { "TopLevelString",           R"("[[[[")",                         0, 1 },
    ShapeCase { "CountingStopsPastTheDepth", std::string (100000, '['),          velm::maxJsonNesting + 1, velm::maxJsonNesting + 2 },
    ShapeCase { "CountingStopsPastTheValues", numbers (velm::maxJsonValues + 100), 1, velm::maxJsonValues + 1 },
    ShapeCase { "MinusBlanksAndDigit",      "[- \t\n5, -0.5e-3]",                 1, 3 },
    ShapeCase { "MinusInAString",           R"(["-]", '-'])",                    1, 3 },
    ShapeCase { "MinusAfterTheTopLevel",    "[] -",                              1, 2 },
    ShapeCase { "MinusBeforeACloser",       "[-]," + std::string (100, '['),     1, 2, true },
    ShapeCase { "MinusBeforeAQuote",        R"({"a":-"}", "b":[[[[)",            1, 2, true },
    ShapeCase { "MinusBlanksAndAQuote",     "[- \t'],[[[['",                     1, 2, true },
    ShapeCase { "MinusAtTheEnd",            "[-",                                1, 2, true },
    ShapeCase { "MinusAndBlanksAtTheEnd",   "[-  ",                              1, 2, true },
    ShapeCase { "MinusBeforeALetter",       "[-nan]",                            1, 2, true },
    ShapeCase { "ValidUtf8",                "[\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xb5\", '\xc3\xbc']", 1, 3 },
    // The parser would take the first as one "[" and nest the rest; the second hides the end.
    ShapeCase { "CutSequenceBeforeAQuote",  "\xe1\x9b\"[[[[",                     0, 1, true },
    ShapeCase { "CutSequenceAtTheEnd",      "[\xe0\xa0",                         0, 1, true },
    ShapeCase { "LoneContinuationByte",     "[\x80]",                            0, 1, true }
), [] (const auto& p) { return std::string (p.param.name); });

//==============================================================================
// Within the bounds the text is what the framework makes of it; beyond them, no value at all.

struct ParseCase
{
    const char* name;
    std::string text;
    bool parsed;    // false: too deep, too many values or misread, and so no value
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
    ParseCase { "ObjectsAMillionDeep",      repeated (R"({"a":)", 1000000),                        false },
    ParseCase { "NegativeNumbers",          R"({"files":[{"filesize":-1},{"filesize":- 2.5e-3}]})",  true },
    ParseCase { "MinusBeforeACloser",       "[-]," + std::string (1000000, '['),                    false },
    ParseCase { "MinusBeforeACloserInObject", R"({"a":-},"b":)" + std::string (1000000, '['),       false },
    ParseCase { "MinusAtTheEnd",            "[-",                                                   false },
    ParseCase { "CutSequenceBeforeAQuote",  "\xe1\x9b\"" + std::string (1000000, '['),                false },
    ParseCase { "AtTheValueBound",          numbers (velm::maxJsonValues - 1),                      true },
    ParseCase { "OnePastTheValueBound",     numbers (velm::maxJsonValues),                          false },
    ParseCase { "AMillionArraysOfANumber",  R"({"files":[)" + repeated ("[0],", 1000000) + "[0]]}", false }
), [] (const auto& p) { return std::string (p.param.name); });
