// Measures whole runs of the real download component against a release served on 127.0.0.1,
// taking turns with curl and openssl doing the same work on the same files, and prints every
// round's figures, the median of each with its spread, and the ratios of the medians.
//
//   velm_download_benchmark [--rounds N] MANIFEST_URL FILE_URL...
//
// Each FILE_URL is one file of the release, in manifest order. The component is watched from
// the message thread, as its own timers watch it, every few milliseconds: a file appears when
// its request is made, reaches its size when the transfer ends, and is verified when its digest
// has been checked. That polling makes a per-file rate meaningful only for a file that takes
// many polls; for a release of small files the whole run is what is reported.
//
// The exit code is 0 only when every round of the component and of both reference tools ended
// well: a reference that failed gives no ratio.

#include "tests/support/TestSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

using namespace velmtest;

namespace
{
    juce::JUCEApplicationBase* createBenchmarkApplication()  { return new TestApplication(); }

    // A timed interval shorter than this many polls of the component is too coarse to give a rate:
    // each end may be late by up to one poll, so 50 polls keep that error within about 2 %.
    constexpr double minPollsPerInterval = 50.0;

    double mib (juce::int64 bytes)  { return (double) bytes / (1024.0 * 1024.0); }
    double nowMs()                  { return juce::Time::getMillisecondCounterHiRes(); }

    //==============================================================================
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

    //==============================================================================
    /** What the release is, as the component's records give it: the references are checked
        against the same sizes and digests. */
    struct ReleaseFile
    {
        juce::int64 size = 0;
        juce::String sha256;
    };

    /** The figures of one round: one run of the component, then (or before) curl on every file
        and openssl on every copy. Times in seconds. */
    struct Round
    {
        double runSeconds = 0, timerSeconds = 0;
        double transferSeconds = 0, verifySeconds = 0;   // summed over the files
        double shortestIntervalMs = 0;                   // the shortest transfer or verification of a file
        double pollMs = 0;                               // the mean period of the polls that watched it
        double memoryOverIdleMiB = 0;
        double curlSeconds = 0, opensslSeconds = 0;      // summed over the files, one process each
    };

    struct Failure
    {
        juce::String message;
    };

    //==============================================================================
    /** One whole run of the component, from the chosen folder to every file verified and the
        display at its end. Fills the release's files on the first run. */
    void runDownloader (const juce::String& manifestUrl, size_t expectedFiles, Round& round,
                        std::vector<ReleaseFile>& release)
    {
        TempFolder downloads;
        const auto productName = uniqueProductName ("Benchmark");
        WindowUnderTest window (productName, makeConfig (productName, manifestUrl));

        const auto question = waitForBox();

        if (question.window == nullptr || ! question.buttons.contains ("Custom"))
            throw Failure { "the download-location question did not come" };

        clickButton (question, "Custom");
        releaseKeys();
        const auto chooser = waitForChooser();

        if (chooser.dialog == nullptr)
            throw Failure { "the folder chooser did not come" };

        // The kernel keeps the high-water mark from per-CPU batches of its page counts, not from
        // the exact count that VmRSS shows, and may miss about a MiB of a peak. The peak is the
        // larger of that mark, which sees every spike, and the exact count sampled at each poll.
        resetPeakMemory();
        const auto idleKiB = statusValueKiB ("VmRSS:");
        auto sampledKiB = idleKiB;

        const auto runStart = nowMs();
        chooseFolder (chooser, downloads.get());

        auto& component = window.component();
        std::vector<double> created (expectedFiles), complete (expectedFiles), verified (expectedFiles);
        std::vector<juce::File> targets;
        juce::String stopReason;
        int polls = 0;

        const auto ended = runUntil ([&]
        {
            ++polls;
            const auto now = nowMs();
            sampledKiB = std::max (sampledKiB, statusValueKiB ("VmRSS:"));

            if (auto boxes = findOpenBoxes(); ! boxes.empty())
            {
                stopReason = boxes.front().title + ": " + boxes.front().message;
                return true;
            }

            // The manifest's worker builds every record before the run leaves the idle state, and
            // the state is published with release ordering after the last one: until then the
            // list of records may still grow (and move), so nothing of it is read.
            const auto state = component.getState();

            if (state == DownloaderState::idle)
                return false;

            if (state == DownloaderState::manifestError || state == DownloaderState::fatalError)
                return false;   // its box follows

            if (targets.empty())
            {
                if ((size_t) component.getFileCount() != expectedFiles)
                {
                    stopReason = "the manifest lists " + juce::String (component.getFileCount()) + " files, not "
                            + juce::String ((int) expectedFiles);
                    return true;
                }

                for (int i = 0; i < (int) expectedFiles; ++i)
                {
                    const auto* entry = component.getFileEntry (i);
                    targets.emplace_back (entry->localFile);

                    if (release.size() < expectedFiles)
                        release.push_back ({ velm::truncateToInt64 (entry->filesize), entry->checksumSha256 });
                }
            }

            for (size_t i = 0; i < expectedFiles; ++i)
            {
                const auto* entry = component.getFileEntry ((int) i);

                if (created[i] == 0 && targets[i].existsAsFile())
                    created[i] = now;

                if (complete[i] == 0 && created[i] != 0 && targets[i].getSize() == release[i].size)
                    complete[i] = now;

                if (verified[i] == 0 && complete[i] != 0 && entry->getState() == FileState::verified)
                    verified[i] = now;
            }

            return component.getVerifiedCount() == component.getFileCount()
                && component.getProgressValue() == 1.0;
        }, 30 * 60 * 1000);

        const auto runEnd = nowMs();
        const auto peakKiB = std::max (statusValueKiB ("VmHWM:"), sampledKiB);

        if (stopReason.isNotEmpty())
            throw Failure { "the run stopped: " + stopReason };

        if (! ended)
            throw Failure { "the run did not end within 30 minutes" };

        round.runSeconds = (runEnd - runStart) / 1000.0;
        round.pollMs = (runEnd - runStart) / std::max (polls, 1);
        round.memoryOverIdleMiB = (double) (peakKiB - idleKiB) / 1024.0;
        round.shortestIntervalMs = std::numeric_limits<double>::max();

        for (size_t i = 0; i < expectedFiles; ++i)
        {
            if (created[i] == 0 || complete[i] == 0 || verified[i] == 0)
                throw Failure { "file " + juce::String ((int) i + 1) + " was never seen at every step" };

            round.transferSeconds += (complete[i] - created[i]) / 1000.0;
            round.verifySeconds += (verified[i] - complete[i]) / 1000.0;
            round.shortestIntervalMs = std::min ({ round.shortestIntervalMs, complete[i] - created[i], verified[i] - complete[i] });

            // What the per-file timer adds: from one file's verification to the next file's request.
            if (i + 1 < expectedFiles)
                round.timerSeconds += (created[i + 1] - verified[i]) / 1000.0;
        }
    }

    //==============================================================================
    /** Runs a tool to its end, with its standard output in a file when one is given (and its
        errors on ours), and returns its wall time in seconds. Anything but exit code 0 is a
        failure. */
    double runTool (const std::vector<std::string>& arguments, const juce::File& output = {})
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init (&actions);

        if (output != juce::File())
            posix_spawn_file_actions_addopen (&actions, STDOUT_FILENO, output.getFullPathName().toRawUTF8(),
                                              O_WRONLY | O_CREAT | O_TRUNC, 0644);

        std::vector<char*> argv;

        for (auto& argument : arguments)
            argv.push_back (const_cast<char*> (argument.c_str()));

        argv.push_back (nullptr);

        // Named with its last argument, the file or address it worked on.
        const auto command = juce::String (arguments.front()) + " on " + juce::String (arguments.back());
        const auto start = nowMs();
        pid_t pid = 0;
        const auto spawnError = posix_spawnp (&pid, argv.front(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy (&actions);

        if (spawnError != 0)
            throw Failure { command + " could not be started: " + juce::String (std::strerror (spawnError)) };

        int status = 0;

        while (waitpid (pid, &status, 0) < 0)
            if (errno != EINTR)
                throw Failure { command + " could not be waited for: " + juce::String (std::strerror (errno)) };

        const auto seconds = (nowMs() - start) / 1000.0;

        if (WIFSIGNALED (status))
            throw Failure { command + " was killed by signal " + juce::String (WTERMSIG (status)) };

        if (! WIFEXITED (status) || WEXITSTATUS (status) != 0)
            throw Failure { command + " failed with exit code " + juce::String (WEXITSTATUS (status)) };

        return seconds;
    }

    /** The same work by the reference tools, on the same server and the same files: curl -o for
        each file, then openssl on each copy, each checked against the release. */
    void runReferences (const juce::StringArray& fileUrls, const std::vector<ReleaseFile>& release, Round& round)
    {
        TempFolder copies;

        for (int i = 0; i < fileUrls.size(); ++i)
        {
            const auto copy = copies / ("file" + juce::String (i));
            const auto url = fileUrls[i];

            round.curlSeconds += runTool ({ "curl", "--silent", "--show-error", "--fail", "--output",
                                            copy.getFullPathName().toStdString(), url.toStdString() });

            if (copy.getSize() != release[(size_t) i].size)
                throw Failure { "curl wrote " + juce::String (copy.getSize()) + " bytes of " + url + ", not "
                                + juce::String (release[(size_t) i].size) };
        }

        for (int i = 0; i < fileUrls.size(); ++i)
        {
            const auto copy = copies / ("file" + juce::String (i));
            const auto digestFile = copies / "digest.txt";

            round.opensslSeconds += runTool ({ "openssl", "dgst", "-sha256", "-r", copy.getFullPathName().toStdString() },
                                             digestFile);

            // "-r" prints the digest first, as sha256sum does.
            const auto digest = digestFile.loadFileAsString().upToFirstOccurrenceOf (" ", false, false).trim();

            if (digest != release[(size_t) i].sha256)
                throw Failure { "openssl gave " + (digest.isEmpty() ? juce::String ("no digest") : digest) + " for "
                                + fileUrls[i] + ", not " + release[(size_t) i].sha256 };
        }
    }

    //==============================================================================
    struct Summary
    {
        double median = 0, min = 0, max = 0;
    };

    template <typename Measure>
    Summary summarise (const std::vector<Round>& rounds, Measure measure)
    {
        std::vector<double> values;

        for (const auto& round : rounds)
            values.push_back (measure (round));

        std::sort (values.begin(), values.end());
        const auto n = values.size();
        return { n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0, values.front(), values.back() };
    }

    juce::String withSpread (const Summary& s, int decimals, const char* unit)
    {
        return juce::String (s.median, decimals) + unit + " (" + juce::String (s.min, decimals) + "-"
             + juce::String (s.max, decimals) + ")";
    }

    void printLine (const juce::String& text)
    {
        std::printf ("%s\n", text.toRawUTF8());
    }

    void printFigures (const std::vector<Round>& rounds, juce::int64 totalBytes, size_t files)
    {
        const auto total = mib (totalBytes);
        const auto shortestMs = summarise (rounds, [] (const Round& r) { return r.shortestIntervalMs; }).min;
        const auto pollMs = summarise (rounds, [] (const Round& r) { return r.pollMs; }).max;
        const bool perFile = shortestMs >= minPollsPerInterval * pollMs;

        printLine ("files                 " + juce::String ((int) files) + ", " + juce::String (total, 1) + " MiB in all; "
                   + juce::String ((int) rounds.size()) + " rounds, the component and the references taking turns to go first");
        printLine ("polling               every " + juce::String (pollMs, 1) + " ms (mean of the slowest round); shortest "
                   + "transfer or verification of a file " + juce::String (juce::roundToInt (shortestMs)) + " ms, "
                   + juce::String (juce::roundToInt (shortestMs / pollMs)) + " polls");
        printLine ("");

        // One column per figure that means something for this release.
        struct Column
        {
            const char* heading;
            std::function<juce::String (const Round&)> cell;
        };

        const auto seconds = [] (double value)  { return juce::String (value, 2) + " s"; };
        const auto rate = [total] (double value) { return juce::String (total / value, 1) + " MiB/s"; };

        std::vector<Column> columns { { "whole run", [&] (const Round& r) { return seconds (r.runSeconds); } } };

        if (files > 1)
            columns.push_back ({ "per-file timer", [&] (const Round& r) { return seconds (r.timerSeconds); } });

        columns.push_back ({ "peak over idle", [] (const Round& r) { return juce::String (r.memoryOverIdleMiB, 1) + " MiB"; } });

        if (perFile)
        {
            columns.push_back ({ "download", [&] (const Round& r) { return rate (r.transferSeconds); } });
            columns.push_back ({ "verification", [&] (const Round& r) { return rate (r.verifySeconds); } });
            columns.push_back ({ "curl -o", [&] (const Round& r) { return rate (r.curlSeconds); } });
            columns.push_back ({ "openssl", [&] (const Round& r) { return rate (r.opensslSeconds); } });
        }
        else
        {
            columns.push_back ({ "curl -o, all", [&] (const Round& r) { return seconds (r.curlSeconds); } });
            columns.push_back ({ "openssl, all", [&] (const Round& r) { return seconds (r.opensslSeconds); } });
        }

        auto heading = juce::String ("round").paddedRight (' ', 8);

        for (const auto& column : columns)
            heading << juce::String (column.heading).paddedRight (' ', 16);

        printLine (heading.trimEnd());

        for (size_t i = 0; i < rounds.size(); ++i)
        {
            auto line = juce::String ((int) i + 1).paddedRight (' ', 8);

            for (const auto& column : columns)
                line << column.cell (rounds[i]).paddedRight (' ', 16);

            printLine (line.trimEnd());
        }

        printLine ("");
        printLine ("medians, with the lowest and highest round in parentheses:");

        const auto run = summarise (rounds, [] (const Round& r) { return r.runSeconds; });
        const auto timer = summarise (rounds, [] (const Round& r) { return r.timerSeconds; });
        const auto curl = summarise (rounds, [total] (const Round& r) { return total / r.curlSeconds; });
        const auto openssl = summarise (rounds, [total] (const Round& r) { return total / r.opensslSeconds; });
        const auto curlTime = summarise (rounds, [] (const Round& r) { return r.curlSeconds; });
        const auto opensslTime = summarise (rounds, [] (const Round& r) { return r.opensslSeconds; });

        printLine ("whole run             " + withSpread (run, 2, " s")
                   + (files > 1 ? ", of which per-file timer " + withSpread (timer, 2, " s") + ", "
                                      + juce::String (juce::roundToInt (100.0 * timer.median / run.median)) + " %"
                                : juce::String())
                   + "; " + juce::String (total / run.median, 1) + " MiB/s over the run");

        if (perFile)
        {
            const auto download = summarise (rounds, [total] (const Round& r) { return total / r.transferSeconds; });
            const auto verify = summarise (rounds, [total] (const Round& r) { return total / r.verifySeconds; });

            printLine ("download              " + withSpread (download, 1, " MiB/s") + "   curl -o "
                       + withSpread (curl, 1, " MiB/s") + "   ratio of medians " + juce::String (download.median / curl.median, 2));
            printLine ("verification          " + withSpread (verify, 1, " MiB/s") + "   openssl "
                       + withSpread (openssl, 1, " MiB/s") + "   ratio of medians " + juce::String (verify.median / openssl.median, 2));
        }
        else
        {
            printLine ("references            curl -o " + withSpread (curlTime, 2, " s") + ", openssl "
                       + withSpread (opensslTime, 2, " s") + " for all files, one process per file");
            printLine ("per-file rates        not shown: a file's transfer or verification takes as little as "
                       + juce::String (juce::roundToInt (shortestMs)) + " ms, under " + juce::String (juce::roundToInt (minPollsPerInterval))
                       + " polls of the component");
        }

        // Only the first round shows what a fresh process needs: the later ones reuse the memory
        // that the allocator kept from it.
        juce::String memoryText ("peak memory           " + juce::String (rounds.front().memoryOverIdleMiB, 1)
                                 + " MiB over idle in the first round");

        if (rounds.size() > 1)
        {
            const auto later = summarise ({ rounds.begin() + 1, rounds.end() }, [] (const Round& r) { return r.memoryOverIdleMiB; });
            memoryText << ", " << withSpread (later, 1, " MiB") << " in the later ones, which reuse what it kept";
        }

        printLine (memoryText);
        printLine ("                      (the kernel's high-water mark or VmRSS at a poll, whichever is higher)");
        std::fflush (stdout);
    }
}

int main (int argc, char** argv)
{
    int rounds = 5;
    int first = 1;

    if (argc > 2 && std::strcmp (argv[1], "--rounds") == 0)
    {
        rounds = std::atoi (argv[2]);
        first = 3;
    }

    if (argc - first < 2 || rounds < 1)
    {
        std::fprintf (stderr, "usage: %s [--rounds N] MANIFEST_URL FILE_URL...\n", argv[0]);
        return 2;
    }

    const juce::String manifestUrl (argv[first]);
    juce::StringArray fileUrls;

    for (int i = first + 1; i < argc; ++i)
        fileUrls.add (argv[i]);

    // The component keeps its copy of the manifest in the temporary folder: one of our own.
    TempFolder scratch;
    setenv ("TMPDIR", scratch.get().getFullPathName().toRawUTF8(), 1);

    const juce::ScopedJuceInitialiser_GUI framework;
    juce::JUCEApplicationBase::createInstance = &createBenchmarkApplication;
    std::unique_ptr<juce::JUCEApplicationBase> application (juce::JUCEApplicationBase::createInstance());

    std::vector<ReleaseFile> release;
    std::vector<Round> results ((size_t) rounds);
    int exitCode = 0;

    try
    {
        // One untimed pass of the references first, so that the first round finds the server,
        // the page cache and the file system as warm as the later ones do.
        {
            const auto warmUp = scratch / "warm-up";

            for (const auto& url : fileUrls)
            {
                runTool ({ "curl", "--silent", "--show-error", "--fail", "--output", warmUp.getFullPathName().toStdString(), url.toStdString() });
                runTool ({ "openssl", "dgst", "-sha256", warmUp.getFullPathName().toStdString() }, scratch / "warm-up.txt");
                warmUp.deleteFile();
            }
        }

        for (int i = 0; i < rounds; ++i)
        {
            std::fprintf (stderr, "round %d of %d\n", i + 1, rounds);
            auto& round = results[(size_t) i];

            // Turns alternate, so that neither side always runs on what the other left behind
            // (dirty pages, a warmer or colder server).
            if (i % 2 == 0)
            {
                runDownloader (manifestUrl, (size_t) fileUrls.size(), round, release);
                runReferences (fileUrls, release, round);
            }
            else
            {
                runReferences (fileUrls, release, round);
                runDownloader (manifestUrl, (size_t) fileUrls.size(), round, release);
            }
        }

        juce::int64 totalBytes = 0;

        for (const auto& file : release)
            totalBytes += file.size;

        printFigures (results, totalBytes, release.size());
    }
    catch (const Failure& failure)
    {
        std::fprintf (stderr, "benchmark failed: %s\nno figures are given for this release\n", failure.message.toRawUTF8());
        exitCode = 1;
    }

    application.reset();
    return exitCode;
}
