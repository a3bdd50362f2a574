#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/** The framework's stock look, with every font drawn in the typeface compiled into the
    executable, whatever family, style or height a component asks for. */
class CustomLookAndFeel : public juce::LookAndFeel_V4
{
public:
    CustomLookAndFeel() = default;

    juce::Typeface::Ptr getTypefaceForFont (const juce::Font&) override;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (CustomLookAndFeel)
};
