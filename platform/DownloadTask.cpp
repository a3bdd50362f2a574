#include "platform/DownloadTask.h"

#include <curl/curl.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <strings.h>
#include <unistd.h>

namespace velm
{
    int createFreshFile (const juce::File& target)
    {
        if (target.getFullPathName().isEmpty())
            return -1;

        // deleteFile() removes a symbolic link itself, never what it points at.
        target.deleteFile();

        int fd;

        do
        {
            fd = ::open (target.getFullPathName().toRawUTF8(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        }
        while (fd < 0 && errno == EINTR);

        return fd;
    }

    namespace
    {
        bool writeAll (int fd, const char* data, size_t numBytes)
        {
            while (numBytes > 0)
            {
                const auto written = ::write (fd, data, numBytes);

                if (written < 0)
                {
                    if (errno == EINTR)
                        continue;

                    return false;
                }

                data += written;
                numBytes -= static_cast<size_t> (written);
            }

            return true;
        }

        // The maximum number of redirects that the framework's own requests follow.
        constexpr long maxRedirects = 5;

        /** The longest wait for the response headers between two looks at whether to stop. */
        constexpr int headerPollMs = 100;

        /** Whether the address is an https one, read by libcurl's own parser in the way that it
            reads the address that it is given (a missing scheme guessed from the host name). */
        bool isHttpsAddress (const std::string& address)
        {
            auto* parsed = curl_url();
            char* scheme = nullptr;
            const bool https = parsed != nullptr
                            && curl_url_set (parsed, CURLUPART_URL, address.c_str(), CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK
                            && curl_url_get (parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK
                            && strcasecmp (scheme, "https") == 0;
            curl_free (scheme);
            curl_url_cleanup (parsed);
            return https;
        }

        constexpr long receiveBufferSize = 256 * 1024;
    }

    //==============================================================================
    /** The libcurl side of one download: the request, and what has arrived of the answer. The
        thread that starts the task drives it until the response headers are in; from then on
        only the task's worker does. */
    struct DownloadTask::Transfer
    {
        Transfer (int fileDescriptor) : fd (fileDescriptor)  {}

        ~Transfer()
        {
            release();

            if (fd >= 0)
                ::close (fd);
        }

        /** Lets go of the connection and libcurl's buffers once the answer is complete; a run
            keeps every task until it ends, and must not keep what they held. */
        void release()
        {
            const std::lock_guard<std::mutex> lock (handleLock);

            if (multi != nullptr && easy != nullptr)
                curl_multi_remove_handle (multi, easy);

            if (easy != nullptr)
                curl_easy_cleanup (easy);

            if (multi != nullptr)
                curl_multi_cleanup (multi);

            easy = nullptr;
            multi = nullptr;
        }

        bool open (const juce::String& address, int timeoutMs, Redirects redirects)
        {
            static std::once_flag initialised;
            std::call_once (initialised, [] { curl_global_init (CURL_GLOBAL_DEFAULT); });

            easy = curl_easy_init();
            multi = curl_multi_init();

            if (easy == nullptr || multi == nullptr)
                return false;

            const long timeoutSeconds = (timeoutMs + 999) / 1000;
            stallLimitMs = timeoutMs;

            url = address.toStdString();
            curl_easy_setopt (easy, CURLOPT_URL, url.c_str());
            curl_easy_setopt (easy, CURLOPT_NOSIGNAL, 1L);

            // A transfer that is dropped while its host name is looked up leaves the lookup's
            // thread behind instead of waiting for it: a name server that never answers would
            // otherwise hold a close for as long as the system's resolver keeps trying.
            curl_easy_setopt (easy, CURLOPT_QUICK_EXIT, 1L);
            curl_easy_setopt (easy, CURLOPT_FOLLOWLOCATION, 1L);
            curl_easy_setopt (easy, CURLOPT_MAXREDIRS, maxRedirects);
            // An https address that must keep to https never even connects to a plain one.
            const auto* protocols = redirects == Redirects::keepingHttps && isHttpsAddress (url) ? "https" : "http,https";
            curl_easy_setopt (easy, CURLOPT_PROTOCOLS_STR, protocols);
            curl_easy_setopt (easy, CURLOPT_REDIR_PROTOCOLS_STR, protocols);
            curl_easy_setopt (easy, CURLOPT_USERAGENT, "velm-downloader/" VELM_APPLICATION_VERSION);
            curl_easy_setopt (easy, CURLOPT_CONNECTTIMEOUT_MS, (long) timeoutMs);

            // A proxy's answer to CONNECT is no response of the server's.
            curl_easy_setopt (easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);

            // Less than one byte a second for the whole time counts as stopped: while waiting for
            // the response as well as in the middle of the body.
            curl_easy_setopt (easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
            curl_easy_setopt (easy, CURLOPT_LOW_SPEED_TIME, timeoutSeconds);

            // Large receives keep the system calls few; deliver() still hands the body on in
            // blocks of blockSize.
            curl_easy_setopt (easy, CURLOPT_BUFFERSIZE, (long) receiveBufferSize);
            curl_easy_setopt (easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
            curl_easy_setopt (easy, CURLOPT_HEADERDATA, this);
            curl_easy_setopt (easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
            curl_easy_setopt (easy, CURLOPT_WRITEDATA, this);

            // Asked with libcurl's own view of each request, just before it is sent: whatever
            // the reading of the address above made of it, no plain request follows an https
            // one. A libcurl that cannot ask is not used at all.
            if (redirects == Redirects::keepingHttps
                 && (curl_easy_setopt (easy, CURLOPT_PREREQFUNCTION, &Transfer::keepHttps) != CURLE_OK
                      || curl_easy_setopt (easy, CURLOPT_PREREQDATA, this) != CURLE_OK))
                return false;

            return curl_multi_add_handle (multi, easy) == CURLM_OK;
        }

        /** Interrupts a step that is waiting; safe from any thread, also after release(). */
        void wake()
        {
            const std::lock_guard<std::mutex> lock (handleLock);

            if (multi != nullptr)
                curl_multi_wakeup (multi);
        }

        /** Lets libcurl move the transfer on, waiting at most timeoutMs for something to do. */
        void step (int timeoutMs)
        {
            if (done)
                return;

            curl_multi_poll (multi, nullptr, 0, timeoutMs, nullptr);

            int running = 0;

            if (curl_multi_perform (multi, &running) != CURLM_OK)
            {
                done = true;
                result = CURLE_RECV_ERROR;
                return;
            }

            if (running == 0)
            {
                int remaining = 0;

                while (auto* message = curl_multi_info_read (multi, &remaining))
                    if (message->msg == CURLMSG_DONE)
                        result = message->data.result;

                done = true;
            }
        }

        int statusCode() const
        {
            long code = 0;
            curl_easy_getinfo (easy, CURLINFO_RESPONSE_CODE, &code);
            return (int) code;
        }

        juce::int64 announcedLength() const
        {
            curl_off_t length = -1;

            if (curl_easy_getinfo (easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK)
                return -1;

            return (juce::int64) length;
        }

        static size_t onHeader (char* data, size_t size, size_t count, void* user)
        {
            auto& self = *static_cast<Transfer*> (user);
            const auto numBytes = size * count;
            const std::string line (data, numBytes);

            // Each response of a redirect chain begins with its status line; an interim one is no
            // answer yet.
            if (line.rfind ("HTTP/", 0) == 0)
            {
                self.responseHasLocation = false;

                if (self.statusCode() >= 200)
                    self.redirectsAnswered = self.redirectsFollowed();
            }
            else if (line.size() > 9 && strncasecmp (line.c_str(), "location:", 9) == 0)
                self.responseHasLocation = true;

            // The blank line ends one response's headers; it is the final response unless it is
            // an interim one or a redirect that libcurl goes on to follow.
            if (line == "\r\n" || line == "\n")
            {
                const auto code = self.statusCode();

                if (code >= 200 && ! (code >= 300 && code < 400 && self.responseHasLocation))
                    self.headersComplete = true;
            }

            return numBytes;
        }

        /** Called for every request of a redirect chain, before it is sent (the first request
            is the one that no redirect has led to yet, also when libcurl tries it again). */
        static int keepHttps (void* user, char*, char*, int, int)
        {
            auto& self = *static_cast<Transfer*> (user);
            char* scheme = nullptr;
            curl_easy_getinfo (self.easy, CURLINFO_SCHEME, &scheme);
            const bool https = scheme != nullptr && strcasecmp (scheme, "https") == 0;

            if (self.redirectsFollowed() == 0)
            {
                self.startedOverHttps = https;
                return CURL_PREREQFUNC_OK;
            }

            // Anyone on the path of a plain request could answer it in place of the server that
            // was asked over https.
            return self.startedOverHttps && ! https ? CURL_PREREQFUNC_ABORT : CURL_PREREQFUNC_OK;
        }

        long redirectsFollowed() const
        {
            long count = 0;
            curl_easy_getinfo (easy, CURLINFO_REDIRECT_COUNT, &count);
            return count;
        }

        /** Whether the transfer failed after libcurl had followed a redirect to which no response
            came: its target could not be reached, or the request was refused before it was
            sent. A redirect past the most that are followed is never followed, and is the
            answer, as the framework's own requests have it. */
        bool redirectWentUnanswered() const
        {
            return done && result != CURLE_OK && redirectsFollowed() > redirectsAnswered;
        }

        static size_t onBody (char* data, size_t size, size_t count, void* user)
        {
            auto& self = *static_cast<Transfer*> (user);
            const auto numBytes = size * count;

            if (self.cancelled.load (std::memory_order_acquire))
                return 0;

            self.lastArrivalMs = juce::Time::getMillisecondCounter();

            if (self.owner == nullptr)
            {
                // The body has begun before the worker exists: libcurl holds this block, and the
                // connection waits, until the worker resumes the transfer.
                self.paused = true;
                return CURL_WRITEFUNC_PAUSE;
            }

            return self.owner->deliver (data, numBytes) ? numBytes : 0;
        }

        /** True when no byte of the body has come for the whole time limit. libcurl's own speed
            check averages over several seconds and so notices a body that stops after a burst
            only well after the limit. */
        bool hasStalled() const
        {
            return juce::Time::getMillisecondCounter() - lastArrivalMs > (juce::uint32) stallLimitMs;
        }

        int fd;
        int stallLimitMs = defaultDownloadTimeoutMs;
        juce::uint32 lastArrivalMs = juce::Time::getMillisecondCounter();
        CURL* easy = nullptr;
        CURLM* multi = nullptr;
        std::string url;
        std::atomic<bool> cancelled { false };
        std::mutex handleLock;
        bool responseHasLocation = false, headersComplete = false, paused = false, done = false, writeFailed = false,
             tooLong = false, startedOverHttps = false;
        long redirectsAnswered = 0;  // redirects followed when the last response began
        CURLcode result = CURLE_OK;
        DownloadTask* owner = nullptr;
    };

    //==============================================================================
    std::unique_ptr<juce::URL::DownloadTask> DownloadTask::start (const juce::URL& url,
                                                                 const juce::File& target,
                                                                 juce::URL::DownloadTaskListener* listener,
                                                                 int timeoutMs,
                                                                 juce::int64 maxBytes,
                                                                 Redirects redirects,
                                                                 const std::function<bool()>& shouldStop)
    {
        const auto fd = createFreshFile (target);

        if (fd < 0)
            return nullptr;

        auto transfer = std::make_unique<Transfer> (fd);

        if (! transfer->open (url.toString (true), timeoutMs, redirects))
            return nullptr;

        while (! transfer->headersComplete && ! transfer->paused && ! transfer->done)
        {
            if (shouldStop != nullptr && shouldStop())
                return nullptr;

            transfer->step (headerPollMs);
        }

        // No status line at all means that nothing answered, and so does a redirect whose target
        // never did.
        if (transfer->statusCode() == 0 || transfer->redirectWentUnanswered())
            return nullptr;

        return std::unique_ptr<juce::URL::DownloadTask> (new DownloadTask (std::move (transfer), target, listener, maxBytes));
    }

    DownloadTask::DownloadTask (std::unique_ptr<Transfer> transferToUse, const juce::File& target,
                                juce::URL::DownloadTaskListener* listenerToUse,
                                juce::int64 maxBytesToAccept)
        : juce::Thread ("Download task"),
          transfer (std::move (transferToUse)),
          listener (listenerToUse),
          maxBytes (maxBytesToAccept)
    {
        targetLocation = target;
        contentLength  = transfer->announcedLength();
        httpCode       = transfer->statusCode();
        transfer->owner = this;

        startThread();
    }

    DownloadTask::~DownloadTask()
    {
        signalThreadShouldExit();
        transfer->cancelled.store (true, std::memory_order_release);

        transfer->wake();
        stopThread (-1);
    }

    bool DownloadTask::deliver (const char* data, size_t numBytes)
    {
        // Whatever a server sends past the length it announced is not part of the file.
        if (contentLength >= 0)
            numBytes = (size_t) juce::jmin ((juce::int64) numBytes, contentLength - downloaded);

        if (exceedsBound ((juce::int64) numBytes))
        {
            transfer->tooLong = true;
            return false;
        }

        while (numBytes > 0)
        {
            if (threadShouldExit())
                return false;

            const auto block = juce::jmin (numBytes, (size_t) blockSize);

            if (listener != nullptr)
                listener->progress (this, downloaded, contentLength);

            if (! writeAll (transfer->fd, data, block))
            {
                transfer->writeFailed = true;
                return false;
            }

            downloaded += (juce::int64) block;
            data += block;
            numBytes -= block;
        }

        return true;
    }

    bool DownloadTask::exceedsBound (juce::int64 moreBytes) const noexcept
    {
        return maxBytes >= 0 && moreBytes > maxBytes - downloaded;
    }

    void DownloadTask::run()
    {
        const auto reachedLength = [this] { return contentLength >= 0 && downloaded >= contentLength; };

        // An announced length past the bound is refused before a byte of the body is written.
        transfer->tooLong = exceedsBound (contentLength);

        // Resuming hands over the block that arrived with the headers, if any.
        if (transfer->paused && ! transfer->tooLong)
            curl_easy_pause (transfer->easy, CURLPAUSE_CONT);

        bool ok = true;
        transfer->lastArrivalMs = juce::Time::getMillisecondCounter();

        while (! transfer->done && ! reachedLength() && ! threadShouldExit() && ! transfer->writeFailed && ! transfer->tooLong)
        {
            if (transfer->hasStalled())
            {
                ok = false;
                break;
            }

            transfer->step (juce::jmin (1000, transfer->stallLimitMs));
        }

        if (::close (transfer->fd) != 0)
            ok = false;

        transfer->fd = -1;

        const bool brokeOff = transfer->done && transfer->result != CURLE_OK && ! reachedLength();

        error = ! ok
             || threadShouldExit()
             || transfer->writeFailed
             || transfer->tooLong
             || brokeOff
             || (contentLength > 0 && downloaded < contentLength);

        finished = true;
        transfer->release();

        if (listener != nullptr && ! threadShouldExit())
            listener->finished (this, ! error);
    }
}
