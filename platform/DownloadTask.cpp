#include "platform/DownloadTask.h"

#include <cerrno>
#include <fcntl.h>
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

    std::unique_ptr<juce::URL::DownloadTask> DownloadTask::start (const juce::URL& url,
                                                                 const juce::File& target,
                                                                 juce::URL::DownloadTaskListener* listener,
                                                                 int timeoutMs)
    {
        const auto fd = createFreshFile (target);

        if (fd < 0)
            return nullptr;

        auto stream = std::make_unique<juce::WebInputStream> (url, false);
        stream->withConnectionTimeout (timeoutMs);

        // The framework hands back a stream even when nothing answered; that is no response.
        const bool connected = stream->connect (nullptr);

        if (! connected || (stream->isError() && stream->getStatusCode() == 0))
        {
            ::close (fd);
            return nullptr;
        }

        return std::unique_ptr<juce::URL::DownloadTask> (new DownloadTask (fd, target, std::move (stream), listener));
    }

    DownloadTask::DownloadTask (int targetFd, const juce::File& target,
                                std::unique_ptr<juce::WebInputStream> webStream,
                                juce::URL::DownloadTaskListener* listenerToUse)
        : juce::Thread ("Download task"),
          fd (targetFd),
          stream (std::move (webStream)),
          listener (listenerToUse)
    {
        targetLocation = target;
        contentLength  = stream->getTotalLength();
        httpCode       = stream->getStatusCode();

        startThread();
    }

    DownloadTask::~DownloadTask()
    {
        signalThreadShouldExit();
        stream->cancel();
        stopThread (-1);

        if (fd >= 0)
            ::close (fd);
    }

    bool DownloadTask::writeBlock (const char* data, size_t numBytes)
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

    void DownloadTask::run()
    {
        while (! (stream->isExhausted() || stream->isError() || threadShouldExit()))
        {
            if (listener != nullptr)
                listener->progress (this, downloaded, contentLength);

            const auto remaining = contentLength < 0 ? (juce::int64) blockSize : contentLength - downloaded;
            const auto actual = stream->read (buffer.get(), (int) juce::jmin ((juce::int64) blockSize, remaining));

            if (actual < 0 || threadShouldExit() || stream->isError())
                break;

            if (! writeBlock (buffer.get(), static_cast<size_t> (actual)))
            {
                error = true;
                break;
            }

            downloaded += actual;

            if (downloaded == contentLength)
                break;
        }

        if (::close (fd) != 0)
            error = true;

        fd = -1;

        if (threadShouldExit() || stream->isError())
            error = true;

        if (contentLength > 0 && downloaded < contentLength)
            error = true;

        finished = true;

        if (listener != nullptr && ! threadShouldExit())
            listener->finished (this, ! error);
    }
}
