#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace
{
    juce::JUCEApplicationBase* createTestApplication()  { return new velmtest::TestApplication(); }
}

int main (int argc, char** argv)
{
    testing::InitGoogleTest (&argc, argv);

    // Manifest copies go to a temporary folder of this process alone.
    velmtest::TempFolder temporaryFolder;
    setenv ("TMPDIR", temporaryFolder.get().getFullPathName().toRawUTF8(), 1);

    int result;

    {
        const juce::ScopedJuceInitialiser_GUI framework;
        juce::JUCEApplicationBase::createInstance = &createTestApplication;
        std::unique_ptr<juce::JUCEApplicationBase> application (juce::JUCEApplicationBase::createInstance());

        result = RUN_ALL_TESTS();

        // Let the framework finish what the tests left queued before it goes.
        velmtest::runFor (50);
    }

    return result;
}
