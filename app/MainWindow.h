#pragma once

#include "app/CustomLookAndFeel.h"
#include "app/DownloaderApplication.h"

class MainComponent;

/** The program's one window: native title bar with minimise and close buttons, fixed size,
    centred, holding the download component. */
class velmDownloaderApplication::MainWindow : public juce::DocumentWindow
{
public:
    MainWindow (const juce::String& name, const juce::var& config);
    ~MainWindow() override;

    void closeButtonPressed() override;

private:
    MainComponent* mainComponent = nullptr;
    std::unique_ptr<CustomLookAndFeel> lookAndFeel;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainWindow)
};
