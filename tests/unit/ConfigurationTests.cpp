#include "app/Configuration.h"
#include "download/MainComponent.h"
#include "json/BoundedJson.h"
#include "platform/EmbeddedText.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace
{
    juce::String buildConfigurationText()
    {
        return juce::File (VELM_UNIT_CONFIG_FILE).loadFileAsString();
    }

    juce::String decode (const std::string& bytes)
    {
        return velm::decodeStringResource (bytes.data(), bytes.size());
    }

    bool passesCheck (const juce::String& text)
    {
        return velm::isValidConfiguration (velm::parseConfiguration (text));
    }
}

//==============================================================================
// Validity rule

struct ValidityCase
{
    const char* name;
    std::string text;
    bool valid;
};

std::ostream& operator<< (std::ostream& os, const ValidityCase& c)  { return os << c.name; }

class ConfigurationValidity : public ::testing::TestWithParam<ValidityCase> {};

TEST_P (ConfigurationValidity, FollowsTheRule)
{
    const auto& c = GetParam();
    EXPECT_EQ (passesCheck (juce::String::fromUTF8 (c.text.data(), (int) c.text.size())), c.valid) << c.text;
}

static const std::string buildText = buildConfigurationText().toStdString();

INSTANTIATE_TEST_SUITE_P (Texts, ConfigurationValidity, ::testing::Values (
    ValidityCase { "BuildText",              buildText,                                                                   true },
    ValidityCase { "BuildTextCutInside",     buildText.substr (0, buildText.size() - 1),                                  false },
    ValidityCase { "BuildTextCutHalfway",    buildText.substr (0, buildText.size() / 2),                                  false },
    ValidityCase { "Empty",                  "",                                                                          false },
    ValidityCase { "Blank",                  " \t\r\n ",                                                                  false },
    ValidityCase { "EmptyObject",            "{}",                                                                        false },
    ValidityCase { "NoDownload",             R"({"productName":"P"})",                                                    false },
    ValidityCase { "DownloadIsText",         R"({"productName":"P","download":"u"})",                                     false },
    ValidityCase { "DownloadIsNumber",       R"({"productName":"P","download":5})",                                       false },
    ValidityCase { "DownloadIsArray",        R"({"productName":"P","download":["url","macInstallerExtension"]})",         false },
    ValidityCase { "TopLevelArray",          R"([{"productName":"P","download":{"url":"u","macInstallerExtension":"x"}}])", false },
    ValidityCase { "TopLevelString",         R"("productName")",                                                          false },
    ValidityCase { "TopLevelNumber",         "42",                                                                        false },
    ValidityCase { "TopLevelNull",           "null",                                                                      false },
    ValidityCase { "NoProductName",          R"({"download":{"url":"u","macInstallerExtension":"x"}})",                   false },
    ValidityCase { "NoUrl",                  R"({"productName":"P","download":{"macInstallerExtension":"x"}})",           false },
    ValidityCase { "NoMacInstallerExt",      R"({"productName":"P","download":{"url":"u"}})",                             false },
    ValidityCase { "MissingColon",           R"({"productName" "P","download":{"url":"u","macInstallerExtension":"x"}})", false },
    ValidityCase { "MissingComma",           R"({"productName":"P" "download":{"url":"u","macInstallerExtension":"x"}})", false },
    ValidityCase { "UnclosedString",         R"({"productName":"P,"download":{"url":"u","macInstallerExtension":"x"}})", false },
    ValidityCase { "UnquotedKey",            R"({productName:"P","download":{"url":"u","macInstallerExtension":"x"}})",   false },
    ValidityCase { "ProductNameEmpty",       R"({"productName":"","download":{"url":"u","macInstallerExtension":"x"}})",  true },
    ValidityCase { "ProductNameNull",        R"({"productName":null,"download":{"url":"u","macInstallerExtension":"x"}})", true },
    ValidityCase { "ProductNameNumber",      R"({"productName":7,"download":{"url":"u","macInstallerExtension":"x"}})",   true },
    ValidityCase { "UrlEmpty",               R"({"productName":"P","download":{"url":"","macInstallerExtension":"x"}})",  true },
    ValidityCase { "UrlAndExtensionNull",    R"({"productName":"P","download":{"url":null,"macInstallerExtension":null}})", true },
    ValidityCase { "ColorsNotObject",        R"({"productName":"P","colors":3,"download":{"url":"u","macInstallerExtension":"x"}})", true },
    ValidityCase { "TrailingTextIgnored",    R"({"productName":"P","download":{"url":"u","macInstallerExtension":"x"}} trailing)", true },
    ValidityCase { "ProductNameWrongCase",   R"({"ProductName":"P","download":{"url":"u","macInstallerExtension":"x"}})", false },
    ValidityCase { "DownloadWrongCase",      R"({"productName":"P","Download":{"url":"u","macInstallerExtension":"x"}})", false },
    ValidityCase { "UrlWrongCase",           R"({"productName":"P","download":{"URL":"u","macInstallerExtension":"x"}})", false },
    ValidityCase { "MacExtWrongCase",        R"({"productName":"P","download":{"url":"u","macinstallerextension":"x"}})", false }
), [] (const auto& p) { return std::string (p.param.name); });

TEST (Configuration, BuildTextGivesTheProductName)
{
    const auto config = velm::parseConfiguration (buildConfigurationText());

    ASSERT_TRUE (velm::isValidConfiguration (config));
    EXPECT_EQ (config["productName"].toString(), "Tarnwick Drumel Beta");
    EXPECT_EQ (config["download"]["macInstallerExtension"].toString(), "pkg");
    EXPECT_TRUE (config["download"]["url"].toString().startsWith ("https://"));
    EXPECT_TRUE (config["download"]["url"].toString().endsWith ("/tw-drumel-beta/release/win/meta"));
}

//==============================================================================
// Reading the embedded bytes

struct LengthCase
{
    size_t numBytes;
    int expectedLength;
};

std::ostream& operator<< (std::ostream& os, const LengthCase& c)  { return os << c.numBytes << " bytes"; }

class ResourceLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P (ResourceLength, IsCutAfter1023Characters)
{
    const auto [numBytes, expectedLength] = GetParam();
    std::string bytes;

    for (size_t i = 0; i < numBytes; ++i)
        bytes += (char) ('a' + (char) (i % 26));

    const auto text = decode (bytes);

    ASSERT_EQ (text.length(), expectedLength);
    EXPECT_EQ (text.toStdString(), bytes.substr (0, (size_t) expectedLength));
}

INSTANTIATE_TEST_SUITE_P (Sizes, ResourceLength, ::testing::Values (
    LengthCase { 1,    1 },
    LengthCase { 1022, 1022 },
    LengthCase { 1023, 1023 },
    LengthCase { 1024, 1023 },
    LengthCase { 2000, 1023 }
), [] (const auto& p) { return "Bytes" + std::to_string (p.param.numBytes); });

TEST (ResourceLength, CutInsideTheObjectFailsTheCheck)
{
    // The same valid text, padded with blanks inside the object so that its end lies beyond the
    // cut: whole it passes, as read from the resource it does not.
    const auto open = buildText.find ("\"download\"");
    ASSERT_NE (open, std::string::npos);
    const auto padded = buildText.substr (0, open) + std::string (1100, ' ') + buildText.substr (open);

    ASSERT_GT (padded.size(), velm::maxStringResourceLength);
    ASSERT_TRUE (passesCheck (juce::String (padded)));
    EXPECT_FALSE (passesCheck (decode (padded)));
}

TEST (ResourceLength, ObjectEndingBeforeTheCutPasses)
{
    const auto padded = buildText + std::string (2000 - buildText.size(), ' ');

    ASSERT_LT (buildText.size(), velm::maxStringResourceLength);
    const auto text = decode (padded);
    EXPECT_EQ (text.length(), 1023);
    EXPECT_TRUE (passesCheck (text));
    EXPECT_EQ (velm::parseConfiguration (text)["productName"].toString(), "Tarnwick Drumel Beta");
}

TEST (ResourceLength, NestingAsDeepAsTheTextAllowsIsSafe)
{
    // 1023 characters hold at most 511 balanced levels, within the parser's bound on nesting:
    // the deepest texts neither crash the start-up nor turn a valid configuration away.
    const std::string required = R"({"productName":"P","download":{"url":"u","macInstallerExtension":"x"},"deep":)";
    const auto depthLeft = (velm::maxStringResourceLength - required.size() - 1) / 2;
    const auto deepest = required + std::string (depthLeft, '[') + std::string (depthLeft, ']') + "}";

    const struct { const char* name; std::string bytes; bool valid; } cases[] = {
        { "OpenBracketsPastTheCut", std::string (5000, '['),                              false },
        { "BalancedArray",          std::string (511, '[') + std::string (511, ']'),      false },
        { "ValidObject",            deepest,                                              true },
    };

    ASSERT_LT (511, velm::maxJsonNesting);

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        const auto text = decode (c.bytes);
        ASSERT_LE (text.length(), 1023);

        const auto config = velm::parseConfiguration (text);
        EXPECT_EQ (velm::isValidConfiguration (config), c.valid);
        EXPECT_EQ (juce::JSON::toString (config, true), juce::JSON::toString (juce::JSON::parse (text), true))
            << "read as the framework reads it";
    }
}

struct ByteCase
{
    const char* name;
    std::string bytes;
    std::vector<juce::juce_wchar> characters;
};

std::ostream& operator<< (std::ostream& os, const ByteCase& c)  { return os << c.name; }

class ResourceBytes : public ::testing::TestWithParam<ByteCase> {};

TEST_P (ResourceBytes, EachByteIsOneLatin1Character)
{
    const auto& c = GetParam();
    const auto text = decode (c.bytes);

    ASSERT_EQ (text.length(), (int) c.characters.size());

    for (int i = 0; i < text.length(); ++i)
        EXPECT_EQ (text[i], c.characters[(size_t) i]) << "at " << i;
}

INSTANTIATE_TEST_SUITE_P (Bytes, ResourceBytes, ::testing::Values (
    ByteCase { "Ascii",           "{\"a\":1}",                 { '{', '"', 'a', '"', ':', '1', '}' } },
    ByteCase { "E9",              "\xe9",                      { 0xe9 } },
    ByteCase { "FF",              "\xff",                      { 0xff } },
    ByteCase { "80",              "\x80",                      { 0x80 } },
    ByteCase { "Utf8PairIsTwo",   "\xc3\xa9",                  { 0xc3, 0xa9 } },
    ByteCase { "Mixed",           "a\x80z\xff",                { 'a', 0x80, 'z', 0xff } },
    ByteCase { "StopsAtZero",     std::string ("ab\0cd", 5),   { 'a', 'b' } },
    ByteCase { "LeadingZero",     std::string ("\0abc", 4),    {} },
    ByteCase { "Empty",           "",                          {} }
), [] (const auto& p) { return std::string (p.param.name); });

TEST (ResourceBytes, NoBytesGiveTheEmptyText)
{
    const char bytes[] = "abc";

    EXPECT_TRUE (velm::decodeStringResource (nullptr, 0).isEmpty());
    EXPECT_TRUE (velm::decodeStringResource (nullptr, 10).isEmpty());
    EXPECT_TRUE (velm::decodeStringResource (bytes, 0).isEmpty());
}

TEST (EmbeddedConfiguration, IsExactlyTheEmbeddedFile)
{
    const auto expected = buildConfigurationText();

    ASSERT_TRUE (expected.isNotEmpty());
    EXPECT_EQ (velm::loadEmbeddedConfigurationText(), expected);
}

//==============================================================================
// Colour rule

struct ColourCase
{
    const char* name;
    juce::String text;
    std::optional<juce::uint32> colour;   // none: the text is refused
};

std::ostream& operator<< (std::ostream& os, const ColourCase& c)  { return os << c.name; }

namespace
{
    const juce::String nineWithNonAscii = juce::String (juce::CharPointer_UTF8 ("#ff00ff\xc3\xa9" "3"));

    // Cases for which parseColour alone and the component's reading agree.
    const std::vector<ColourCase> colourCases {
        { "Lower",             "#ff00ffa3", 0xff00ffa3 },
        { "Upper",             "#FF00FFA3", 0xff00ffa3 },
        { "HalfTransparent",   "#80123456", 0x80123456 },
        { "ZeroAlphaRed",      "#00ff0000", std::nullopt },
        { "ZeroAlphaGreen",    "#0000ffa3", std::nullopt },
        { "NoHash",            "0ff00ffa3", std::nullopt },
        { "NoHashLeadingBlank"," ff00ffa3", std::nullopt },
        { "OneNonHex",         "#1234567z", 0xf1234567 },
        { "TwoNonHex",         "#123456zz", 0xff123456 },
        { "ThreeNonHex",       "#12345zzz", 0x0ff12345 },
        { "FourNonHex",        "#1234zzzz", std::nullopt },
        { "TrailingNonHex",    "#ff00ffzz", 0xffff00ff },
        { "NonAsciiCountsOnce", nineWithNonAscii, 0xfff00ff3 }
    };

    // Texts that parseColour would take but that are not 9 characters long.
    const std::vector<ColourCase> wrongLengthCases {
        { "SevenChars",        "#ff0000",    std::nullopt },
        { "SevenCharsTrack",   "#222222",    std::nullopt },
        { "TenChars",          "#ff00ffa3 ", std::nullopt },
        { "Empty",             "",           std::nullopt }
    };

    const juce::String colourKeys[] { "pbF", "pbBg", "mainBg", "sizeLabel", "productNameLabel" };

    constexpr juce::uint32 defaultPbF = 0xff2196f3, defaultPbBg = 0xff292929, defaultMainBg = 0xff333333,
                           defaultSizeLabel = 0xff7a7a7a, defaultProductNameLabel = 0xffffffff;

    std::vector<ColourCase> allColourCases()
    {
        auto all = colourCases;
        all.insert (all.end(), wrongLengthCases.begin(), wrongLengthCases.end());
        return all;
    }
}

class ParseColour : public ::testing::TestWithParam<ColourCase> {};

TEST_P (ParseColour, FillsOnlyAnAcceptedColour)
{
    const auto& c = GetParam();
    const juce::Colour untouched (0x12345678);
    auto target = untouched;

    EXPECT_EQ (MainComponent::parseColour (target, c.text), c.colour.has_value());
    EXPECT_EQ (target.getARGB(), c.colour.value_or (untouched.getARGB()));
}

INSTANTIATE_TEST_SUITE_P (Texts, ParseColour, ::testing::ValuesIn (colourCases),
                          [] (const auto& p) { return std::string (p.param.name); });

TEST (ParseColour, WrongLengthIsNotItsConcern)
{
    // The length rule belongs to the component; parseColour reads a short text with the "ff"
    // prefix showing through, which is why the component must refuse it first.
    juce::Colour target;
    EXPECT_TRUE (MainComponent::parseColour (target, "#ff0000"));
    EXPECT_EQ (target.getARGB(), 0xffff0000u);
}

/** The colours that a component's widgets and background actually got. */
struct WidgetColours
{
    juce::uint32 barFill = 0, barTrack = 0, statusText = 0, amountText = 0, sizeText = 0, productNameText = 0;
    juce::Colour background;
};

class ComponentColours : public ::testing::Test
{
protected:
    static void SetUpTestSuite()    { gui = std::make_unique<juce::ScopedJuceInitialiser_GUI>(); }
    static void TearDownTestSuite() { gui.reset(); }

    static juce::var configWithColours (const juce::var& colours)
    {
        auto config = velm::parseConfiguration (buildConfigurationText());

        if (colours.isVoid())
            config.getDynamicObject()->removeProperty ("colors");
        else
            config.getDynamicObject()->setProperty ("colors", colours);

        return config;
    }

    static WidgetColours coloursOf (const juce::var& config)
    {
        MainComponent component (config);
        WidgetColours result;
        int labelsFound = 0, barsFound = 0;

        for (auto* child : component.getChildren())
        {
            if (auto* bar = dynamic_cast<juce::ProgressBar*> (child))
            {
                result.barFill  = bar->findColour (juce::ProgressBar::foregroundColourId).getARGB();
                result.barTrack = bar->findColour (juce::ProgressBar::backgroundColourId).getARGB();
                ++barsFound;
                continue;
            }

            auto* label = dynamic_cast<juce::Label*> (child);

            if (label == nullptr)
                continue;

            EXPECT_EQ (label->findColour (juce::Label::backgroundColourId).getAlpha(), 0) << label->getName();

            const auto text = label->findColour (juce::Label::textColourId).getARGB();
            const auto name = label->getName();

            if      (name == "statusLabel")      result.statusText = text;
            else if (name == "amountLabel")      result.amountText = text;
            else if (name == "sizeLabel")        result.sizeText = text;
            else if (name == "productNameLabel") result.productNameText = text;
            else                                 ADD_FAILURE() << "unexpected label " << name;

            ++labelsFound;
        }

        EXPECT_EQ (barsFound, 1);
        EXPECT_EQ (labelsFound, 4);

        // (2, 2) lies outside every child, so it shows the component's own background.
        result.background = component.createComponentSnapshot (component.getLocalBounds()).getPixelAt (2, 2);
        return result;
    }

    static void expectBackground (juce::Colour actual, juce::uint32 expected)
    {
        // The snapshot keeps its pixels premultiplied, so a translucent colour does not come back
        // exactly; it is compared with the same colour filled into the same kind of image.
        juce::Image reference (juce::Image::ARGB, 4, 4, true);
        juce::Graphics (reference).fillAll (juce::Colour (expected));
        EXPECT_EQ (actual.getARGB(), reference.getPixelAt (2, 2).getARGB()) << std::hex << expected;
    }

    static void expectColours (const WidgetColours& w, juce::uint32 pbF, juce::uint32 pbBg, juce::uint32 mainBg,
                               juce::uint32 sizeLabel, juce::uint32 productNameLabel)
    {
        EXPECT_EQ (w.barFill, pbF);
        EXPECT_EQ (w.statusText, pbF);
        EXPECT_EQ (w.amountText, pbF);
        EXPECT_EQ (w.barTrack, pbBg);
        EXPECT_EQ (w.sizeText, sizeLabel);
        EXPECT_EQ (w.productNameText, productNameLabel);
        expectBackground (w.background, mainBg);
    }

    inline static std::unique_ptr<juce::ScopedJuceInitialiser_GUI> gui;
};

TEST_F (ComponentColours, DefaultsWithoutColours)
{
    for (const auto& colours : { juce::var(), juce::var (3), juce::var ("#ff00ffa3"), juce::var (new juce::DynamicObject()) })
    {
        SCOPED_TRACE (juce::JSON::toString (colours, true).toStdString());
        expectColours (coloursOf (configWithColours (colours)),
                       defaultPbF, defaultPbBg, defaultMainBg, defaultSizeLabel, defaultProductNameLabel);
    }
}

TEST_F (ComponentColours, ThisBuildsColours)
{
    expectColours (coloursOf (velm::parseConfiguration (buildConfigurationText())),
                   0xff00ffa3, 0xff222222, 0xff343333, defaultSizeLabel, defaultProductNameLabel);
}

TEST_F (ComponentColours, EachKeyPaintsItsOwnWidget)
{
    auto* colours = new juce::DynamicObject();
    colours->setProperty ("pbF",              "#ff010203");
    colours->setProperty ("pbBg",             "#ff040506");
    colours->setProperty ("mainBg",           "#ff070809");
    colours->setProperty ("sizeLabel",        "#ff0a0b0c");
    colours->setProperty ("productNameLabel", "#ff0d0e0f");

    expectColours (coloursOf (configWithColours (juce::var (colours))),
                   0xff010203, 0xff040506, 0xff070809, 0xff0a0b0c, 0xff0d0e0f);
}

TEST_F (ComponentColours, KeysAreCaseSensitive)
{
    auto* colours = new juce::DynamicObject();
    for (const auto& key : colourKeys)
        colours->setProperty (key.toUpperCase(), "#ff010203");

    expectColours (coloursOf (configWithColours (juce::var (colours))),
                   defaultPbF, defaultPbBg, defaultMainBg, defaultSizeLabel, defaultProductNameLabel);
}

TEST_F (ComponentColours, EveryKeyFollowsTheColourRule)
{
    for (const auto& c : allColourCases())
    {
        SCOPED_TRACE (c.name);

        auto* colours = new juce::DynamicObject();
        for (const auto& key : colourKeys)
            colours->setProperty (key, c.text);

        const auto pick = [&] (juce::uint32 fallback) { return c.colour.value_or (fallback); };
        expectColours (coloursOf (configWithColours (juce::var (colours))),
                       pick (defaultPbF), pick (defaultPbBg), pick (defaultMainBg),
                       pick (defaultSizeLabel), pick (defaultProductNameLabel));
    }
}
