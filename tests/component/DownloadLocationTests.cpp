// The download-location questions and the folder chooser, answered on the X display.

#include "tests/support/TestSupport.h"

#include "platform/MessageBoxes.h"

#include <gtest/gtest.h>

using namespace velmtest;

namespace
{
    const juce::File programFolder()
    {
        return juce::File::getSpecialLocation (juce::File::currentApplicationFile).getParentDirectory();
    }

    /** A manifest that ends the run at once with a box, so that a test can see that the manifest
        was requested without any folder being made. */
    constexpr const char* unknownCodeManifest = R"({"code":"maintenance"})";
}

//==============================================================================
// The box layer: the index that reaches the callback is the button's position.

class MessageBoxContractTest : public testing::TestWithParam<std::tuple<int, int, bool>> {};

TEST_P (MessageBoxContractTest, ReportsThePressedButtonsPosition)
{
    const auto [numButtons, pressed, byKey] = GetParam();

    juce::MessageBoxOptions options = juce::MessageBoxOptions().withTitle ("Contract").withMessage ("Which?");
    for (int i = 0; i < numButtons; ++i)
        options = options.withButton ("Button " + juce::String (i));

    int reported = -100;
    velm::showMessageBoxAsync (options, [&] (int index) { reported = index; });

    const auto box = waitForBox();
    ASSERT_EQ (box.buttons.size(), numButtons);

    if (byKey)
        pressKey (box, pressed == 0 ? "Return" : "Escape");
    else
        clickButton (box, "Button " + juce::String (pressed));

    EXPECT_TRUE (runUntil ([&] { return reported != -100; }));
    EXPECT_EQ (reported, pressed);
}

// A click on a button reports that button's position. Return presses the first button and
// Escape the last; a one-button box takes either.
INSTANTIATE_TEST_SUITE_P (Boxes, MessageBoxContractTest,
                          testing::Values (std::make_tuple (1, 0, false), std::make_tuple (1, 0, true),
                                           std::make_tuple (2, 0, false), std::make_tuple (2, 1, false),
                                           std::make_tuple (2, 0, true),  std::make_tuple (2, 1, true)));

TEST (MessageBoxContract, EscapeInAOneButtonBoxPressesItToo)
{
    int reported = -100;
    velm::showMessageBoxAsync (juce::MessageBoxOptions().withTitle ("One").withButton ("Only"),
                               [&] (int index) { reported = index; });
    pressKey (waitForBox(), "Escape");
    EXPECT_TRUE (runUntil ([&] { return reported != -100; }));
    EXPECT_EQ (reported, 0);
}

TEST (MessageBoxContract, ABoxRequestedFromAWorkerAppearsWithoutBlockingIt)
{
    std::atomic<bool> workerDone { false };
    std::thread worker ([&]
    {
        velm::showMessageBoxAsync (juce::MessageBoxOptions().withTitle ("From a worker").withButton ("Ok"), nullptr);
        workerDone = true;
    });

    // The worker returns before the message thread has run a single message.
    worker.join();
    EXPECT_TRUE (workerDone);
    EXPECT_TRUE (findOpenBoxes().empty());

    const auto box = waitForBox();
    EXPECT_EQ (box.title, "From a worker");
    pressKey (box, "Return");
}

//==============================================================================
class DownloadLocationTest : public testing::Test
{
protected:
    void SetUp() override
    {
        server.serve ("/meta", 200, unknownCodeManifest, "application/json");
        server.start();
        productName = uniqueProductName ("Location");
        window = std::make_unique<WindowUnderTest> (productName, makeConfig (productName, server.url ("/meta")));
        quitsBefore = TestApplication::get().quitRequests.load();
    }

    void TearDown() override
    {
        window.reset();
    }

    bool manifestRequested() const  { return server.requestCount ("/meta") > 0; }
    int quitsSinceStart() const     { return TestApplication::get().quitRequests.load() - quitsBefore; }

    juce::File manifestCopy() const
    {
        return juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile (productName + "Downloader.json");
    }

    HttpServer server;
    juce::String productName;
    std::unique_ptr<WindowUnderTest> window;
    int quitsBefore = 0;
};

TEST_F (DownloadLocationTest, TheFirstQuestionNamesTheProgramsFolder)
{
    const auto box = waitForBox();

    EXPECT_EQ (box.title, "Select download location");
    EXPECT_EQ (box.message, "Would you like to download the file to the default location ("
                                + programFolder().getFullPathName() + ") or choose a custom directory?");
    EXPECT_EQ (box.buttons, juce::StringArray ({ "Default", "Custom" }));
    EXPECT_FALSE (manifestRequested()) << "nothing is requested before the answer";
}

TEST_F (DownloadLocationTest, DefaultStartsTheRunInTheProgramsFolderWithAnIndeterminateBar)
{
    clickButton (waitForBox(), "Default");

    EXPECT_TRUE (runUntil ([&] { return manifestRequested(); }));
    EXPECT_EQ (window->component().getProgressValue(), -1.0);
    EXPECT_EQ (window->component().getDownloadFolder(), programFolder());
}

TEST_F (DownloadLocationTest, CustomOpensTheChooserInTheProgramsFolderAndUsesTheChosenFolder)
{
    TempFolder chosen;

    clickButton (waitForBox(), "Custom");
    const auto chooser = waitForChooser();

    EXPECT_EQ (chooser.title, "Please select a custom download path");
    EXPECT_EQ (chooser.root, programFolder());
    EXPECT_FALSE (manifestRequested());

    chooseFolder (chooser, chosen.get());

    EXPECT_TRUE (runUntil ([&] { return manifestRequested(); }));
    EXPECT_EQ (window->component().getDownloadFolder().getFullPathName(), chosen.get().getFullPathName());
    EXPECT_EQ (window->component().getProgressValue(), -1.0);
}

TEST_F (DownloadLocationTest, ACancelledChooserLeadsToTheSecondQuestionWhoseDefaultIsTheProgramsFolder)
{
    clickButton (waitForBox(), "Custom");
    cancelChooser (waitForChooser());

    const auto second = waitForBox();
    EXPECT_EQ (second.title, "Select Download Location");
    EXPECT_EQ (second.message, "Would you like to download to default location instead?");
    EXPECT_EQ (second.buttons, juce::StringArray ({ "Default", "Quit" }));

    clickButton (second, "Default");
    EXPECT_TRUE (runUntil ([&] { return manifestRequested(); }));
    EXPECT_EQ (window->component().getDownloadFolder(), programFolder());
    EXPECT_EQ (quitsSinceStart(), 0);
}

TEST_F (DownloadLocationTest, QuitInTheSecondQuestionEndsWithoutRequestOrWrite)
{
    // An old copy of the manifest must survive: after "Quit" nothing is deleted or written.
    manifestCopy().replaceWithText ("old copy");

    clickButton (waitForBox(), "Custom");
    cancelChooser (waitForChooser());
    clickButton (waitForBox(), "Quit");

    EXPECT_EQ (quitsSinceStart(), 1);
    runFor (300);
    EXPECT_FALSE (manifestRequested());
    EXPECT_EQ (manifestCopy().loadFileAsString(), "old copy");
    EXPECT_TRUE (findOpenBoxes().empty());
    manifestCopy().deleteFile();
}

TEST_F (DownloadLocationTest, AChosenFolderThatIsGoneByTheAnswerLeadsToTheSecondQuestion)
{
    TempFolder parent;
    const auto doomed = parent / "doomed";
    doomed.createDirectory();

    clickButton (waitForBox(), "Custom");
    const auto chooser = waitForChooser();

    // Into the folder, then away with it before the chooser answers.
    enterFolder (chooser, doomed);
    doomed.deleteRecursively();
    pressChooserAction (chooser);

    const auto second = waitForBox();
    EXPECT_EQ (second.title, "Select Download Location");
    EXPECT_FALSE (manifestRequested());
    clickButton (second, "Quit");
}

TEST_F (DownloadLocationTest, KeysAnswerTheQuestionsAsTheirButtonsDo)
{
    // Escape presses the last button of the first box, "Custom".
    pressKey (waitForBox(), "Escape");
    cancelChooser (waitForChooser());

    // Return presses the first button of the second box, "Default".
    pressKey (waitForBox(), "Return");
    EXPECT_TRUE (runUntil ([&] { return manifestRequested(); }));
}

TEST_F (DownloadLocationTest, AnAnswerAfterTheWindowHasGoneDoesNothing)
{
    const auto box = waitForBox();
    window->destroyWindowOnly();

    ASSERT_NE (box.window.getComponent(), nullptr) << "the box has no owner and stays open";
    clickButton (box, "Default");

    runFor (300);
    EXPECT_FALSE (manifestRequested());
    EXPECT_EQ (quitsSinceStart(), 0);
}
