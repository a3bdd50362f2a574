#include "platform/WindowHints.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace velm
{
    namespace
    {
        /** The framework writes the window's size hints again, without the limits, at its first
            paint. This looks after them for the window's first seconds, well past that paint,
            through a connection of its own (the hints are a property of the window on the
            server, whichever client writes them), and goes with the window or after that time. */
        class FixedSizeKeeper : private juce::Timer,
                                private juce::ComponentListener
        {
        public:
            explicit FixedSizeKeeper (juce::Component& topLevelWindow)
                : window (topLevelWindow),
                  display (XOpenDisplay (nullptr))
            {
                window.addComponentListener (this);
                startTimer (intervalMs);
            }

            ~FixedSizeKeeper() override
            {
                window.removeComponentListener (this);

                if (display != nullptr)
                    XCloseDisplay (display);
            }

        private:
            void timerCallback() override
            {
                keepLimits();

                if (++ticks * intervalMs >= watchMs)
                    delete this;
            }

            void componentBeingDeleted (juce::Component&) override
            {
                delete this;
            }

            void keepLimits()
            {
                auto* peer = window.getPeer();

                if (display == nullptr || peer == nullptr)
                    return;

                const auto xWindow = (::Window) (juce::pointer_sized_uint) peer->getNativeHandle();
                const auto scale = peer->getPlatformScaleFactor();
                const auto width = juce::roundToInt (peer->getBounds().getWidth() * scale);
                const auto height = juce::roundToInt (peer->getBounds().getHeight() * scale);

                XSizeHints hints {};
                long supplied = 0;
                XGetWMNormalHints (display, xWindow, &hints, &supplied);

                if ((hints.flags & (PMinSize | PMaxSize)) == (PMinSize | PMaxSize)
                     && hints.min_width == width && hints.max_width == width
                     && hints.min_height == height && hints.max_height == height)
                    return;

                hints.flags |= PMinSize | PMaxSize;
                hints.min_width  = hints.max_width  = width;
                hints.min_height = hints.max_height = height;

                XSetWMNormalHints (display, xWindow, &hints);
                XFlush (display);
            }

            static constexpr int intervalMs = 100, watchMs = 3000;
            juce::Component& window;
            Display* display;
            int ticks = 0;

            JUCE_DECLARE_NON_COPYABLE (FixedSizeKeeper)
        };
    }

    void keepWindowSizeFixed (juce::Component& topLevelWindow)
    {
        new FixedSizeKeeper (topLevelWindow);
    }
}
