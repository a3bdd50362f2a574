#include "download/MainComponent.h"

namespace
{
    std::unique_ptr<juce::Label> makeLabel (juce::Component& parent, const juce::String& name,
                                            const juce::String& text, juce::Colour textColour)
    {
        auto label = std::make_unique<juce::Label> (name, text);
        parent.addAndMakeVisible (*label);
        label->setColour (juce::Label::backgroundColourId, juce::Colours::transparentWhite);
        label->setColour (juce::Label::textColourId, textColour);
        return label;
    }
}

void MainComponent::buildUi (const juce::var& config)
{
    pendingError = std::make_unique<PendingError>();

    progressBar = std::make_unique<juce::ProgressBar> (progressValue);
    addAndMakeVisible (*progressBar);

    productName = config["productName"].toString();

    const auto download = config["download"];
    macInstallerExtension = download["macInstallerExtension"].toString();
    manifestUrl = download["url"].toString();

    juce::Font font;
    font.setHeight (14.0f);

    const auto colours = config["colors"];

    for (auto [key, target] : { std::pair<const char*, juce::Colour*> { "pbF",              &pbFColour },
                                std::pair<const char*, juce::Colour*> { "pbBg",             &pbBgColour },
                                std::pair<const char*, juce::Colour*> { "mainBg",           &mainBgColour },
                                std::pair<const char*, juce::Colour*> { "sizeLabel",        &sizeLabelColour },
                                std::pair<const char*, juce::Colour*> { "productNameLabel", &productNameLabelColour } })
    {
        const auto text = colours[key].toString();

        if (text.length() == 9)
            parseColour (*target, text);
    }

    progressBar->setColour (juce::ProgressBar::backgroundColourId, pbBgColour);
    progressBar->setColour (juce::ProgressBar::foregroundColourId, pbFColour);
    progressBar->setPercentageDisplay (false);

    statusLabel = makeLabel (*this, "statusLabel", "initializing ...", pbFColour);
    statusLabel->setBorderSize ({ 0, 0, 0, 0 });
    statusLabel->setFont (font);

    sizeLabel = makeLabel (*this, "sizeLabel", "", sizeLabelColour);
    sizeLabel->setBorderSize ({ 0, 0, 0, 0 });
    sizeLabel->setFont (font);
    sizeLabel->setJustificationType (juce::Justification::centredRight);

    amountLabel = makeLabel (*this, "amountLabel", "", pbFColour);
    amountLabel->setJustificationType (juce::Justification::centredRight);
    amountLabel->setFont (font);

    productNameLabel = makeLabel (*this, "productNameLabel", productName, productNameLabelColour);
    font.setHeight (16.0f);
    productNameLabel->setBorderSize ({ 0, 0, 0, 0 });
    productNameLabel->setFont (font);
}

bool MainComponent::parseColour (juce::Colour& target, const juce::String& text)
{
    if (! text.startsWithChar ('#'))
        return false;

    // getHexValue32 skips every character that is not a hexadecimal digit and keeps the last
    // eight digits, so "#ff" only shows through when the text holds fewer than eight of them.
    const juce::Colour colour (static_cast<juce::uint32> (("#ff" + text).getHexValue32()));

    if (colour.getAlpha() == 0)
        return false;

    target = colour;
    return true;
}

void MainComponent::resized()
{
    productNameLabel->setBounds (24, 19, getWidth() - 24, 16);
    progressBar->setBounds (24, 72, 460, 8);
    statusLabel->setBounds (24, 45, 300, 14);
    sizeLabel->setBounds (286, 45, 250, 14);
    amountLabel->setBounds (486, 67, 56, 16);
}

void MainComponent::paint (juce::Graphics& g)
{
    g.fillAll (mainBgColour);
}

namespace velm
{
    juce::String percentageText (juce::int64 bytesDone, juce::int64 bytesTotal)
    {
        // roundToInt rounds a value exactly halfway to the even neighbour (12.5 gives 12).
        const auto percentage = bytesTotal == 0 ? 0
                                                : juce::jmax (0, juce::roundToInt ((double) bytesDone / (double) bytesTotal * 100.0));
        return juce::String (percentage) + "%";
    }

    juce::String sizeText (juce::int64 bytesDone, juce::int64 bytesTotal)
    {
        return juce::File::descriptionOfSizeInBytes (bytesDone) + " of " + juce::File::descriptionOfSizeInBytes (bytesTotal);
    }
}

void MainComponent::updateProgressDisplay()
{
    downloadedBytes = velm::sumOfDownloadedBytes (files);

    const auto total = getTotalBytes();

    // With a total of 0 (only files of size 0 listed) the ratio has no value: the bar stays empty.
    progressValue = total == 0 ? 0.0 : (double) downloadedBytes / (double) total;

    const auto percentage = velm::percentageText (downloadedBytes, total);
    const auto size = velm::sizeText (downloadedBytes, total);

    if (getVerifiedCount() == getFileCount())
    {
        progressValue = 1.0;
    }
    else if (getState() == DownloaderState::checkingFiles)
    {
        progressValue = -1.0;
        statusText = "Checking files ...";
    }

    statusLabel->setText (statusText, juce::sendNotificationAsync);
    amountLabel->setText (percentage, juce::sendNotificationAsync);
    sizeLabel->setText (size, juce::sendNotification);
}
