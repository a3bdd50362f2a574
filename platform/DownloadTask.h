#pragma once

#include <juce_core/juce_core.h>

#include <functional>
#include <memory>

namespace velm
{
    /** Time without progress after which a download gives up: for making the connection, for
        the response to arrive, and for the body to go on arriving. */
    constexpr int defaultDownloadTimeoutMs = 30000;

    /** Downloads a URL into a file on a worker thread of its own, with the framework's download
        task contract:

        - On the calling thread, before it returns: the target is deleted and created afresh, the
          GET request is sent (redirects followed) and the response headers are read. No task is
          returned, and no callback ever comes, when the target cannot be created or no response
          arrives: also when a redirect leads to an address that does not answer, or to one that
          it may not lead to. After too many redirects, the last redirect is the answer. Nor is
          a task returned once shouldStop, asked while the headers are awaited, says so.
        - The task's status code (0 when none was read) and announced length (-1 when none) are
          fixed from then on.
        - The worker reads the body in blocks of at most 32768 bytes, calls progress() before each
          read (never after the last), writes each block, closes the target and then calls
          finished() exactly once. Success is false when the transfer broke off, the target could
          not be written, or fewer bytes than a positive announced length arrived. An HTTP error
          status is no failure.
        - Deleting the task cancels the transfer and waits for the worker; finished() does not come
          after that, and what was written stays on disk.

        Beyond the framework's, it gives up after timeoutMs without progress, it speaks http and
        https only (also when redirected, and with Redirects::keepingHttps never plain http when
        the address is https), and it never writes through a symbolic link planted
        at the target's path, nor into an existing file. With maxBytes of 0 or more, a body that
        is announced or turns out to be longer is a transfer that broke off: nothing past the
        bound is written, and the transfer stops there. */
    class DownloadTask final : public juce::URL::DownloadTask,
                               private juce::Thread
    {
    public:
        /** Where redirects may lead. */
        enum class Redirects
        {
            toWebAddresses,  ///< any http or https address
            keepingHttps     ///< from an https address, https addresses only
        };

        static std::unique_ptr<juce::URL::DownloadTask> start (const juce::URL& url,
                                                              const juce::File& target,
                                                              juce::URL::DownloadTaskListener* listener,
                                                              int timeoutMs = defaultDownloadTimeoutMs,
                                                              juce::int64 maxBytes = unbounded,
                                                              Redirects redirects = Redirects::toWebAddresses,
                                                              const std::function<bool()>& shouldStop = {});

        ~DownloadTask() override;

        static constexpr int blockSize = 32768;
        static constexpr juce::int64 unbounded = -1;

    private:
        struct Transfer;

        DownloadTask (std::unique_ptr<Transfer>, const juce::File& target, juce::URL::DownloadTaskListener*,
                      juce::int64 maxBytes);

        void run() override;
        bool deliver (const char* data, size_t numBytes);
        bool exceedsBound (juce::int64 moreBytes) const noexcept;

        std::unique_ptr<Transfer> transfer;
        juce::URL::DownloadTaskListener* const listener;
        const juce::int64 maxBytes;

        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (DownloadTask)
    };

    /** Creates the file at target for writing, the way a download target must be made in a
        folder that others may write to: an existing entry at the path (a symbolic link included)
        is removed first, and the file is then created exclusively, without following links.
        Returns the open descriptor, or -1. */
    int createFreshFile (const juce::File& target);
}
