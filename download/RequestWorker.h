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
            started = startThread();
        }

        /** False when the system could give no thread: the job never runs. */
        bool hasStarted() const noexcept  { return started; }

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
        bool started = false;

        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (RequestWorker)
    };
}
