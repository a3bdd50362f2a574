// The main window and its content as the application builds them, on the X display.

#include "tests/support/TestSupport.h"

#include "app/CustomLookAndFeel.h"

#include <gtest/gtest.h>

using namespace velmtest;

namespace
{
    juce::Component* childNamed (juce::Component& parent, const juce::String& name)
    {
        for (auto* child : parent.getChildren())
            if (child->getName() == name)
                return child;

        return nullptr;
    }

    juce::ProgressBar* progressBarOf (juce::Component& parent)
    {
        for (auto* child : parent.getChildren())
            if (auto* bar = dynamic_cast<juce::ProgressBar*> (child))
                return bar;

        return nullptr;
    }
}

class WindowTest : public testing::Test
{
protected:
    void SetUp() override
    {
        productName = uniqueProductName ("Window");
        window = std::make_unique<WindowUnderTest> (productName, makeConfig (productName, "http://127.0.0.1:9/meta"));
        ASSERT_TRUE (runUntil ([&] { return window->window().isShowing(); }));
    }

    juce::String productName;
    std::unique_ptr<WindowUnderTest> window;
};

TEST_F (WindowTest, IsFixedSizeCentredWithMinimiseAndCloseOnly)
{
    auto& w = window->window();

    EXPECT_EQ (w.getName(), productName + " Downloader");
    EXPECT_TRUE (w.isUsingNativeTitleBar());
    EXPECT_FALSE (w.isResizable());
    EXPECT_EQ (w.getContentComponent()->getWidth(), 560);
    EXPECT_EQ (w.getContentComponent()->getHeight(), 104);

    // The title-bar buttons and resizing are what the window asks of the platform's window.
    const auto flags = w.getDesktopWindowStyleFlags();
    EXPECT_NE (flags & juce::ComponentPeer::windowHasMinimiseButton, 0);
    EXPECT_NE (flags & juce::ComponentPeer::windowHasCloseButton, 0);
    EXPECT_EQ (flags & juce::ComponentPeer::windowHasMaximiseButton, 0);
    EXPECT_EQ (flags & juce::ComponentPeer::windowIsResizable, 0);

    const auto screen = juce::Desktop::getInstance().getDisplays().getPrimaryDisplay()->userArea;
    EXPECT_NEAR (w.getBounds().getCentreX(), screen.getCentreX(), 1);
    EXPECT_NEAR (w.getBounds().getCentreY(), screen.getCentreY(), 1);
}

TEST_F (WindowTest, EveryFontIsTheEmbeddedTypeface)
{
    auto* lookAndFeel = dynamic_cast<CustomLookAndFeel*> (&juce::Desktop::getInstance().getDefaultLookAndFeel());
    ASSERT_NE (lookAndFeel, nullptr) << "the window installs its look-and-feel as the default";

    // Whatever family, style or height is asked for, the same embedded face comes back, at the
    // height that was asked for.
    for (const auto& font : { juce::Font (14.0f), juce::Font ("Serif", 30.0f, juce::Font::bold),
                              juce::Font ("Monospace", 9.0f, juce::Font::italic) })
    {
        auto typeface = lookAndFeel->getTypefaceForFont (font);
        ASSERT_NE (typeface, nullptr);
        EXPECT_EQ (typeface->getName(), "Open Sans");
        EXPECT_EQ (juce::Font (font).getTypefacePtr()->getName(), "Open Sans");
    }

    auto* productLabel = dynamic_cast<juce::Label*> (childNamed (window->component(), "productNameLabel"));
    ASSERT_NE (productLabel, nullptr);
    EXPECT_FLOAT_EQ (productLabel->getFont().getHeight(), 16.0f);
    EXPECT_EQ (productLabel->getFont().getTypefacePtr()->getName(), "Open Sans");
}

TEST_F (WindowTest, ShowsTheInitialDisplayInItsFixedPlaces)
{
    auto& content = window->component();

    struct Expected { const char* name; juce::Rectangle<int> bounds; const char* text; float fontHeight; };
    const Expected table[] = {
        { "productNameLabel", { 24, 19, 536, 16 }, nullptr,            16.0f },
        { "statusLabel",      { 24, 45, 300, 14 }, "initializing ...", 14.0f },
        { "sizeLabel",        { 286, 45, 250, 14 }, "",                14.0f },
        { "amountLabel",      { 486, 67, 56, 16 }, "",                 14.0f },
    };

    for (const auto& expected : table)
    {
        SCOPED_TRACE (expected.name);
        auto* label = dynamic_cast<juce::Label*> (childNamed (content, expected.name));
        ASSERT_NE (label, nullptr);
        EXPECT_EQ (label->getBounds(), expected.bounds);
        EXPECT_EQ (label->getText(), expected.text == nullptr ? productName : juce::String (expected.text));
        EXPECT_FLOAT_EQ (label->getFont().getHeight(), expected.fontHeight);
    }

    auto* bar = progressBarOf (content);
    ASSERT_NE (bar, nullptr);
    EXPECT_EQ (bar->getBounds(), juce::Rectangle<int> (24, 72, 460, 8));
    EXPECT_EQ (content.getProgressValue(), 0.0);

    // Children in the order in which they are drawn, later above earlier.
    juce::StringArray order;
    for (auto* child : content.getChildren())
        order.add (dynamic_cast<juce::ProgressBar*> (child) != nullptr ? "bar" : child->getName());

    EXPECT_EQ (order.joinIntoString (","), "bar,statusLabel,sizeLabel,amountLabel,productNameLabel");
}

TEST_F (WindowTest, AFreshComponentHasStartedNothing)
{
    auto& content = window->component();

    EXPECT_EQ (content.getState(), DownloaderState::idle);
    EXPECT_EQ (content.getFileCount(), 0);
    EXPECT_EQ (content.getVerifiedCount(), 0);
    EXPECT_EQ (content.getTotalBytes(), 0);
    EXPECT_EQ (content.getDownloadFolder(),
               juce::File::getSpecialLocation (juce::File::currentApplicationFile).getParentDirectory());

    for (int id : { -2, -1, 0 })
        EXPECT_FALSE (content.isTimerRunning (id)) << "timer " << id;
}

TEST_F (WindowTest, TheCloseButtonAsksToQuitAtOnce)
{
    const auto before = TestApplication::get().quitRequests.load();
    window->window().closeButtonPressed();
    EXPECT_EQ (TestApplication::get().quitRequests.load(), before + 1);
}
