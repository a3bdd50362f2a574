// Measures a whole run of the real download component against a release served on 127.0.0.1,
// beside curl and openssl doing the same work on the same files, and prints the figures.
//
//   velm_download_benchmark MANIFEST_URL FILE_URL... 
//
// Each FILE_URL is one file of the release, in manifest order; the benchmark times the
// component's transfer and verification of each, the gaps the per-file timer leaves between
// files, and the peak memory of the process over what it held while idle.

#include "tests/support/TestSupport.h"

#include <cstdio>
#include <fstream>

using namespace velmtest;

namespace
{
    juce::JUCEApplicationBase* createBenchmarkApplication()  { return new TestApplication(); }

    juce::int64 statusValueKiB (const char* key)
    {
        std::ifstream status ("/proc/self/status");
        std::string line;

        while (std::getline (status, line))
            if (line.rfind (key, 0) == 0)
                return std::stoll (line.substr (std::strlen (key)));

        return -1;
    }

    /** Starts counting the process's peak resident memory afresh from what it holds now. */
    void resetPeakMemory()
    {
        std::ofstream ("/proc/self/clear_refs") << "5";
    }

    double secondsOf (const juce::StringArray& command)
    {
        const auto start = juce::Time::getMillisecondCounterHiRes();
        juce::ChildProcess child;

        if (! child.start (command, 0))
            return -1.0;

        child.waitForProcessToFinish (-1);
        return (juce::Time::getMillisecondCounterHiRes() - start) / 1000.0;
    }

    struct FileTimes
    {
        double created = 0, complete = 0, verified = 0;
        juce::int64 size = 0;
    };

    double mib (juce::int64 bytes)  { return (double) bytes / (1024.0 * 1024.0); }
}

int main (int argc, char** argv)
{
    if (argc < 3)
    {
        std::fprintf (stderr, "usage: %s MANIFEST_URL FILE_URL...\n", argv[0]);
        return 2;
    }

    const juce::String manifestUrl (argv[1]);
    juce::StringArray fileUrls;

    for (int i = 2; i < argc; ++i)
        fileUrls.add (argv[i]);

    TempFolder downloads;
    setenv ("TMPDIR", downloads.get().getFullPathName().toRawUTF8(), 1);

    const juce::ScopedJuceInitialiser_GUI framework;
    juce::JUCEApplicationBase::createInstance = &createBenchmarkApplication;
    std::unique_ptr<juce::JUCEApplicationBase> application (juce::JUCEApplicationBase::createInstance());

    const auto productName = uniqueProductName ("Benchmark");
    std::vector<FileTimes> times ((size_t) fileUrls.size());
    double runStart = 0, runEnd = 0;
    juce::int64 idleKiB = 0, peakKiB = 0;
    bool complete = false;

    {
        WindowUnderTest window (productName, makeConfig (productName, manifestUrl));
        auto box = waitForBox();
        clickButton (box, "Custom");
        const auto chooser = waitForChooser();

        idleKiB = statusValueKiB ("VmRSS:");
        resetPeakMemory();

        runStart = juce::Time::getMillisecondCounterHiRes();
        chooseFolder (chooser, downloads.get());

        auto& component = window.component();

        // The component is watched from the message thread, as its own timers watch it: a file
        // appears when its request is made, reaches its size when the transfer ends, and is
        // verified when its digest has been checked.
        complete = runUntil ([&]
        {
            const auto now = juce::Time::getMillisecondCounterHiRes();

            for (int i = 0; i < component.getFileCount() && i < (int) times.size(); ++i)
            {
                auto& t = times[(size_t) i];
                const auto* entry = component.getFileEntry (i);
                const juce::File file (entry->localFile);

                if (t.created == 0 && file.existsAsFile())
                    t.created = now;

                if (t.complete == 0 && t.created != 0 && (double) file.getSize() == entry->filesize)
                {
                    t.complete = now;
                    t.size = file.getSize();
                }

                if (t.verified == 0 && entry->getState() == FileState::verified && t.complete != 0)
                    t.verified = now;
            }

            return component.getFileCount() == (int) times.size()
                && component.getVerifiedCount() == component.getFileCount()
                && component.getProgressValue() == 1.0;
        }, 30 * 60 * 1000);

        runEnd = juce::Time::getMillisecondCounterHiRes();
        peakKiB = statusValueKiB ("VmHWM:");
    }

    if (! complete)
    {
        std::fprintf (stderr, "the run did not complete\n");
        return 1;
    }

    double transferSeconds = 0, verifySeconds = 0, timerSeconds = 0;
    juce::int64 totalBytes = 0;

    for (size_t i = 0; i < times.size(); ++i)
    {
        transferSeconds += (times[i].complete - times[i].created) / 1000.0;
        verifySeconds += (times[i].verified - times[i].complete) / 1000.0;
        totalBytes += times[i].size;

        // What the per-file timer adds: from one file's verification to the next file's request.
        if (i + 1 < times.size())
            timerSeconds += (times[i + 1].created - times[i].verified) / 1000.0;
    }

    const auto runSeconds = (runEnd - runStart) / 1000.0;

    // The same work by the reference tools, on the same server and the same files.
    double curlSeconds = 0, opensslSeconds = 0;
    TempFolder reference;

    for (int i = 0; i < fileUrls.size(); ++i)
    {
        const auto copy = reference.get().getChildFile ("file" + juce::String (i));
        curlSeconds += secondsOf ({ "curl", "-s", "-o", copy.getFullPathName(), fileUrls[i] });
        opensslSeconds += secondsOf ({ "openssl", "dgst", "-sha256", copy.getFullPathName() });
    }

    const auto downloadRate = mib (totalBytes) / transferSeconds;
    const auto curlRate = mib (totalBytes) / curlSeconds;
    const auto verifyRate = mib (totalBytes) / verifySeconds;
    const auto opensslRate = mib (totalBytes) / opensslSeconds;

    std::printf ("files                 %d, %.1f MiB in all\n", (int) times.size(), mib (totalBytes));
    std::printf ("whole run             %.2f s (of which per-file timer %.2f s, %.0f %%)\n",
                 runSeconds, timerSeconds, 100.0 * timerSeconds / runSeconds);
    std::printf ("download              %.1f MiB/s   curl -o %.1f MiB/s   ratio %.2f\n", downloadRate, curlRate, downloadRate / curlRate);
    std::printf ("verification          %.1f MiB/s   openssl %.1f MiB/s   ratio %.2f\n", verifyRate, opensslRate, verifyRate / opensslRate);
    std::printf ("peak memory           %.1f MiB over idle (%.1f MiB idle, %.1f MiB peak)\n",
                 (double) (peakKiB - idleKiB) / 1024.0, (double) idleKiB / 1024.0, (double) peakKiB / 1024.0);
    std::fflush (stdout);

    application.reset();
    return 0;
}
