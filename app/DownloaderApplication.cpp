#include "app/DownloaderApplication.h"

#include "app/Configuration.h"
#include "app/MainWindow.h"
#include "platform/Display.h"
#include "platform/EmbeddedText.h"
#include "platform/MessageBoxes.h"

#include <cstdio>
#include <cstdlib>

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
    // Only as far as the framework is concerned: its lock is a file in /var/tmp that belongs to
    // whoever ran the product first, which lets every other user start any number of copies, or
    // lets one user stop everyone else's. initialiseApp() takes our own per-user lock instead.
    return true;
}

bool velmDownloaderApplication::initialiseApp()
{
    // Without a display nothing can be shown, not even the box of a bad configuration: the
    // framework's windows would read through the display it lacks. Checked before the lock, so
    // that such a start makes no folder or file at all.
    if (! velm::hasDisplay())
    {
        const auto program = juce::File::getSpecialLocation (juce::File::currentExecutableFile).getFileName();
        const auto line = velm::describeMissingDisplay (program.toRawUTF8(), std::getenv ("DISPLAY")) + "\n";
        std::fwrite (line.toRawUTF8(), 1, line.getNumBytesAsUTF8(), stderr);
        std::fflush (stderr);
        setApplicationReturnValue (1);
        return false;
    }

    instanceLock = std::make_unique<velm::InstanceLock> (getApplicationName());

    // Another copy of this user's runs: returning false ends this one before any message loop
    // runs, so it shows nothing, not even a box the constructor queued, and exits with 0.
    if (instanceLock->isHeldElsewhere())
        return false;

    // JUCEApplication's own override is private and adds nothing on this platform.
    return JUCEApplicationBase::initialiseApp();
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
