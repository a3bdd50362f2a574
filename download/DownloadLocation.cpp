#include "download/MainComponent.h"

#include "platform/MessageBoxes.h"

// The boxes have no owner window, so the window can be closed while one is open: every
// callback holds the component through a SafePointer and does nothing once it is gone.

void MainComponent::askDownloadLocation()
{
    juce::Component::SafePointer<MainComponent> self (this);

    velm::showMessageBoxAsync (juce::MessageBoxOptions()
                                   .withIconType (juce::MessageBoxIconType::QuestionIcon)
                                   .withTitle ("Select download location")
                                   .withMessage ("Would you like to download the file to the default location ("
                                                 + downloadBaseFolder.getFullPathName()
                                                 + ") or choose a custom directory?")
                                   .withButton ("Default")
                                   .withButton ("Custom"),
                               [self] (int buttonIndex)
                               {
                                   if (self == nullptr)
                                       return;

                                   if (buttonIndex == 1)
                                       self->chooseCustomFolder();
                                   else
                                       self->startRun();
                               });
}

void MainComponent::chooseCustomFolder()
{
    folderChooser = std::make_unique<juce::FileChooser> ("Please select a custom download path",
                                                         downloadBaseFolder, "*", true);

    juce::Component::SafePointer<MainComponent> self (this);

    folderChooser->launchAsync (juce::FileBrowserComponent::openMode | juce::FileBrowserComponent::canSelectDirectories,
                                [self] (const juce::FileChooser& chooser)
                                {
                                    if (self == nullptr)
                                        return;

                                    const auto result = chooser.getResult();

                                    if (result.exists())
                                    {
                                        self->downloadBaseFolder = result;
                                        self->startRun();
                                    }
                                    else
                                    {
                                        self->askDefaultOrQuit();
                                    }
                                });
}

void MainComponent::askDefaultOrQuit()
{
    juce::Component::SafePointer<MainComponent> self (this);

    velm::showMessageBoxAsync (juce::MessageBoxOptions()
                                   .withIconType (juce::MessageBoxIconType::QuestionIcon)
                                   .withTitle ("Select Download Location")
                                   .withMessage ("Would you like to download to default location instead?")
                                   .withButton ("Default")
                                   .withButton ("Quit"),
                               [self] (int buttonIndex)
                               {
                                   if (self == nullptr)
                                       return;

                                   if (buttonIndex == 0)
                                       self->startRun();
                                   else
                                       juce::JUCEApplication::getInstance()->systemRequestedQuit();
                               });
}

void MainComponent::startRun()
{
    startManifestDownload();
    progressValue = -1.0;
}
