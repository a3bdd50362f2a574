#include "app/MainWindow.h"

#include "download/MainComponent.h"
#include "platform/WindowHints.h"

velmDownloaderApplication::MainWindow::MainWindow (const juce::String& name, const juce::var& config)
    : DocumentWindow (name,
                      juce::Desktop::getInstance().getDefaultLookAndFeel()
                          .findColour (juce::ResizableWindow::backgroundColourId),
                      DocumentWindow::minimiseButton | DocumentWindow::closeButton,
                      true)
{
    setUsingNativeTitleBar (true);

    mainComponent = new MainComponent (config);
    setContentOwned (mainComponent, true);

    setResizable (false, false);
    centreWithSize (getWidth(), getHeight());

    // Installed after the content exists and before the window shows, so that the first paint
    // already uses the embedded typeface.
    lookAndFeel = std::make_unique<CustomLookAndFeel>();
    juce::Desktop::getInstance().setDefaultLookAndFeel (lookAndFeel.get());

    setVisible (true);
    velm::keepWindowSizeFixed (*this);

    if (mainComponent != nullptr && isShowing())
        mainComponent->askDownloadLocation();
}

velmDownloaderApplication::MainWindow::~MainWindow()
{
    lookAndFeel.reset();
}

void velmDownloaderApplication::MainWindow::closeButtonPressed()
{
    juce::JUCEApplication::getInstance()->systemRequestedQuit();
}
