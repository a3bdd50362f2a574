#include "download/FileDigest.h"

#include <openssl/evp.h>

namespace velm
{
    namespace
    {
        constexpr int readBlockSize = 1 << 20;

        struct DigestContext
        {
            DigestContext()  : context (EVP_MD_CTX_new())
            {
                if (context != nullptr && EVP_DigestInit_ex (context, EVP_sha256(), nullptr) != 1)
                {
                    EVP_MD_CTX_free (context);
                    context = nullptr;
                }
            }

            ~DigestContext()  { EVP_MD_CTX_free (context); }

            bool update (const void* data, size_t numBytes)
            {
                return context != nullptr && EVP_DigestUpdate (context, data, numBytes) == 1;
            }

            juce::String finalHex()
            {
                unsigned char digest[EVP_MAX_MD_SIZE];
                unsigned int length = 0;

                if (context == nullptr || EVP_DigestFinal_ex (context, digest, &length) != 1)
                    return {};

                return juce::String::toHexString (digest, (int) length, 0);
            }

            EVP_MD_CTX* context;

            JUCE_DECLARE_NON_COPYABLE (DigestContext)
        };
    }

    juce::String sha256OfFile (const juce::File& file, const std::function<bool()>& shouldStop)
    {
        juce::FileInputStream stream (file);

        if (! stream.openedOk())
            return {};

        DigestContext digest;
        juce::HeapBlock<char> buffer (readBlockSize);

        for (;;)
        {
            if (shouldStop != nullptr && shouldStop())
                return {};

            const auto numRead = stream.read (buffer.get(), readBlockSize);

            if (numRead < 0 || stream.getStatus().failed())
                return {};

            if (numRead == 0)
                break;

            if (! digest.update (buffer.get(), static_cast<size_t> (numRead)))
                return {};
        }

        return digest.finalHex();
    }

    juce::String sha256OfData (const void* data, size_t numBytes)
    {
        DigestContext digest;
        return digest.update (data, numBytes) ? digest.finalHex() : juce::String();
    }
}
