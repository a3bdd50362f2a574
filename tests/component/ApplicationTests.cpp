// The program's own application object, in a binary that carries no configuration: the box that
// an unusable configuration raises, whole, and its closing.

#include "tests/support/TestSupport.h"

#include "app/DownloaderApplication.h"

#include <gtest/gtest.h>

using namespace velmtest;

TEST (ConfigurationBox, SaysToDownloadAgainWithAWarningAndOneOkThatEndsTheProgram)
{
    const auto box = waitForBox();

    EXPECT_EQ (box.title.toStdString(), "Oops! Something went wrong!");
    EXPECT_EQ (box.message.toStdString(), "Please re-download the downloader");
    EXPECT_EQ (box.icon, juce::MessageBoxIconType::WarningIcon);
    EXPECT_EQ (box.buttons, juce::StringArray { "Ok" });

    auto& messageManager = *juce::MessageManager::getInstance();
    EXPECT_FALSE (messageManager.hasStopMessageBeenSent());
    clickButton (box, "Ok");
    EXPECT_TRUE (messageManager.hasStopMessageBeenSent()) << "closing the box ends the program";
}

namespace
{
    juce::JUCEApplicationBase* createApplication()  { return new velmDownloaderApplication(); }
}

// The process's application is the program's own, made as its entry point makes it; its
// constructor reads the empty configuration of this binary.
int main (int argc, char** argv)
{
    testing::InitGoogleTest (&argc, argv);
    int result;

    {
        const juce::ScopedJuceInitialiser_GUI framework;
        juce::JUCEApplicationBase::createInstance = &createApplication;
        std::unique_ptr<juce::JUCEApplicationBase> application (juce::JUCEApplicationBase::createInstance());
        result = RUN_ALL_TESTS();
    }

    return result;
}
