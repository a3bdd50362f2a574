#include "app/DownloaderApplication.h"

#include "app/Configuration.h"
#include "app/MainWindow.h"
#include "platform/EmbeddedText.h"
#include "platform/MessageBoxes.h"

velmDownloaderApplication::velmDownloaderApplication()
{
    config = velm::parseConfiguration (velm::loadEmbeddedConfigurationText());

    if (velm::isValidConfiguration (config))
    {
        productName = config["productName"].toString();
        return;
    }

    configError = true;

    // The box is only queued: it appears once the message loop runs, so a second instance,
    // which ends before that, never shows it.
    velm::showMessageBoxAsync (juce::MessageBoxOptions()
                                   .withIconType (juce::MessageBoxIconType::WarningIcon)
                                   .withTitle ("Oops! Something went wrong!")
                                   .withMessage ("Please re-download the downloader")
                                   .withButton ("Ok"),
                               [] (int) { juce::JUCEApplicationBase::quit(); });
}

velmDownloaderApplication::~velmDownloaderApplication() = default;

const juce::String velmDownloaderApplication::getApplicationName()
{
    return productName + " Downloader";
}

const juce::String velmDownloaderApplication::getApplicationVersion()
{
    return VELM_APPLICATION_VERSION;
}

bool velmDownloaderApplication::moreThanOneInstanceAllowed()
{
    return false;
}

void velmDownloaderApplication::initialise (const juce::String&)
{
    if (configError)
        return;

    mainWindow = std::make_unique<MainWindow> (getApplicationName(), config);
}

void velmDownloaderApplication::shutdown()
{
    mainWindow.reset();
}

void velmDownloaderApplication::anotherInstanceStarted (const juce::String&)
{
}

void velmDownloaderApplication::systemRequestedQuit()
{
    quit();
}
