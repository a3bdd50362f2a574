#pragma once

#include "platform/InstanceLock.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

/** The root of the program: checks the embedded configuration, lets each user run one instance
    of each product, owns the main window, and is the one place through which the program ends. */
class velmDownloaderApplication : public juce::JUCEApplication
{
public:
    velmDownloaderApplication();
    ~velmDownloaderApplication() override;

    const juce::String getApplicationName() override;
    const juce::String getApplicationVersion() override;
    bool moreThanOneInstanceAllowed() override;

    void initialise (const juce::String& commandLine) override;
    void shutdown() override;
    void anotherInstanceStarted (const juce::String& commandLine) override;
    void systemRequestedQuit() override;

    class MainWindow;

private:
    bool initialiseApp() override;

    std::unique_ptr<velm::InstanceLock> instanceLock;
    std::unique_ptr<MainWindow> mainWindow;
    juce::String productName;
    juce::var config;
    bool configError = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (velmDownloaderApplication)
};
