#pragma once

#include <juce_core/juce_core.h>

#include <functional>

namespace velm
{
    /** A worker that runs one job from the moment it is made, and is waited for when it is
        deleted. The job must end soon by itself once its owner asks it to, through the owner's
        own state: deleting the worker only waits. */
    class RequestWorker final : private juce::Thread
    {
    public:
        RequestWorker (const juce::String& name, std::function<void()> jobToRun)
            : juce::Thread (name), job (std::move (jobToRun))
        {
            startThread();
        }

        ~RequestWorker() override
        {
            stopThread (-1);
        }

    private:
        void run() override
        {
            job();
        }

        const std::function<void()> job;

        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (RequestWorker)
    };
}
