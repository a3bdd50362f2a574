// The file records that a real run builds from the manifest's "files", read back from the
// component once the manifest has been taken in.

#include "tests/component/RunFixture.h"

#include <gtest/gtest.h>

using namespace velmtest;

namespace
{
    /** A manifest element whose file is present and correct in the product folder, with the raw
        JSON texts of "filesize" and "run_after_download" (empty: the key is left out). */
    struct RawElement
    {
        std::string filename;
        std::string filesizeJson;
        std::string runAfterDownloadJson;
    };
}

class RecordRunTest : public RunFixture
{
protected:
    /** Writes the file of the element into the product folder and returns its JSON text. */
    std::string presentRawFile (const RawElement& element, size_t size)
    {
        const auto data = randomBytes (size, (juce::int64) size + 17);
        productFolder().createDirectory();
        const auto file = productFolder().getChildFile (element.filename);

        // The framework deletes a file that is to be replaced with no data at all.
        EXPECT_TRUE (size == 0 ? file.create().wasOk() : file.replaceWithData (data.getData(), data.getSize()));

        std::string text = R"({"url":"{{server}}/files/)" + element.filename + R"(","filename":")" + element.filename
                         + R"(","checksum_sha256":")" + sha256Hex (data) + "\"";

        if (! element.filesizeJson.empty())
            text += R"(,"filesize":)" + element.filesizeJson;

        if (! element.runAfterDownloadJson.empty())
            text += R"(,"run_after_download":)" + element.runAfterDownloadJson;

        return text + "}";
    }

    juce::String localFileOf (const juce::String& filename) const
    {
        return productFolder().getFullPathName() + "/" + filename;
    }

    /** Waits until the run has finished without a box and without asking to quit. */
    void expectDoneWithoutQuit()
    {
        ASSERT_TRUE (waitForDone());
        runFor (200);
        EXPECT_TRUE (findOpenBoxes().empty());
        EXPECT_EQ (quitsSinceStart(), 0);
        EXPECT_TRUE (opener.opened().isEmpty());
    }
};

//==============================================================================
// "run_after_download": every value that the framework takes as true marks the file, which the
// completed run then opens; every other value leaves the run open on "Download done ...".

class RunAfterDownloadFlagTest : public RecordRunTest,
                                 public testing::WithParamInterface<std::pair<const char*, bool>> {};

TEST_P (RunAfterDownloadFlagTest, MarksTheFileExactlyLikeTrue)
{
    const auto [flagJson, marked] = GetParam();

    runWithManifest (manifestWithFiles ({ presentRawFile ({ "setup.bin", "2048", flagJson }, 2048) }));
    ASSERT_TRUE (waitForRecords());
    ASSERT_EQ (component().getFileCount(), 1);
    EXPECT_EQ (component().getFileEntry (0)->runAfterDownload, marked);

    if (marked)
    {
        EXPECT_EQ (opener.waitForOpened (1), juce::StringArray (localFileOf ("setup.bin")));
        EXPECT_EQ (quitsSinceStart(), 1);
    }
    else
    {
        expectDoneWithoutQuit();
    }

    EXPECT_EQ (fileRequests ({ "setup.bin" }), 0);
}

INSTANTIATE_TEST_SUITE_P (Flags, RunAfterDownloadFlagTest, testing::Values (
    std::make_pair ("true",      true),
    std::make_pair ("\"yes\"",   true),
    std::make_pair ("\"TRUE\"",  true),
    std::make_pair ("\" Yes \"", true),
    std::make_pair ("1",         true),
    std::make_pair ("\"1\"",     true),
    std::make_pair ("-3",        true),
    std::make_pair ("0.5",       true),
    std::make_pair ("",          false),    // absent
    std::make_pair ("false",     false),
    std::make_pair ("null",      false),
    std::make_pair ("0",         false),
    std::make_pair ("\"0\"",     false),
    std::make_pair ("\"no\"",    false),
    std::make_pair ("\"\"",      false)));

//==============================================================================
// "filesize" in other JSON types: the size that the record keeps is the one the file on disk
// must have, so a correct file of that size completes the run without a request.

class FileSizeValueTest : public RecordRunTest,
                          public testing::WithParamInterface<std::pair<const char*, int>> {};

TEST_P (FileSizeValueTest, IsTheSizeThatTheFileMustHave)
{
    const auto [sizeJson, expected] = GetParam();

    runWithManifest (manifestWithFiles ({ presentRawFile ({ "data.bin", sizeJson, "" }, (size_t) expected) }));
    ASSERT_TRUE (waitForRecords());
    ASSERT_EQ (component().getFileCount(), 1);
    EXPECT_EQ (component().getFileEntry (0)->filesize, (double) expected);
    EXPECT_EQ (component().getTotalBytes(), (juce::int64) expected);

    expectDoneWithoutQuit();
    EXPECT_EQ (component().getVerifiedCount(), 1);
    EXPECT_EQ (fileRequests ({ "data.bin" }), 0);
}

INSTANTIATE_TEST_SUITE_P (Sizes, FileSizeValueTest, testing::Values (
    std::make_pair ("1234",         1234),
    std::make_pair ("\"1234\"",     1234),
    std::make_pair ("\"  1234\"",   1234),
    std::make_pair ("\"1234 B\"",   1234),
    std::make_pair ("true",         1),
    std::make_pair ("\"size\"",     0),
    std::make_pair ("",             0)));    // absent: an empty file

TEST_F (RecordRunTest, FractionalSizesAddUpInDoublePrecisionAndTruncate)
{
    // No file can have 1.5 bytes, and the records have no address: the run stops at the first
    // file, after every record exists.
    runWithManifest (manifestWithFiles ({ R"({"filename":"a.bin","filesize":1.5})",
                                          R"({"filename":"b.bin","filesize":1.5})" }));
    ASSERT_TRUE (waitForRecords());

    ASSERT_EQ (component().getFileCount(), 2);
    EXPECT_EQ (component().getFileEntry (0)->filesize, 1.5);
    EXPECT_EQ (component().getFileEntry (1)->filesize, 1.5);
    EXPECT_EQ (component().getTotalBytes(), 2) << "1 after the first, then the integer part of 2.5";

    const auto box = waitForBox();
    EXPECT_EQ (box.title, "URL Error ");
    press (box, "Cancel");
    EXPECT_EQ (quitsSinceStart(), 1);
}

TEST_F (RecordRunTest, ElementsThatAreNotObjectsAreSkippedWithoutGaps)
{
    const auto a = presentFile ("a.bin", 100);
    const auto b = presentFile ("b.bin", 200);
    const auto c = presentFile ("c.bin", 300);

    runWithManifest (manifestWithFiles ({ "1", "\"text\"", "[" + a + "]", "null", a, "2.5", b, "true", "[]", c }));
    ASSERT_TRUE (waitForRecords());

    ASSERT_EQ (component().getFileCount(), 3);
    const char* names[] = { "a.bin", "b.bin", "c.bin" };

    for (int i = 0; i < 3; ++i)
    {
        SCOPED_TRACE (i);
        const auto* entry = component().getFileEntry (i);
        ASSERT_NE (entry, nullptr);
        EXPECT_EQ (entry->index, i);
        EXPECT_EQ (entry->filename, names[i]);
        EXPECT_EQ (entry->localFile, localFileOf (names[i]));
        EXPECT_FALSE (entry->runAfterDownload);
    }

    EXPECT_EQ (component().getFileEntry (1)->url, server.url ("/files/b.bin"));
    EXPECT_EQ (component().getTotalBytes(), 600);
    EXPECT_EQ (component().getFileEntry (3), nullptr);
    expectDoneWithoutQuit();
    EXPECT_EQ (component().getVerifiedCount(), 3);
}

TEST_F (RecordRunTest, ElementsWithoutANameMakeTheWholeManifestUnusable)
{
    // An object without "filename" is an object, but it would be stored at the product folder's
    // own path: the run refuses the whole manifest instead of making a record of it.
    const auto a = presentFile ("a.bin", 100);
    runWithManifest (manifestWithFiles ({ a, "{}" }));

    const auto box = waitForBox();
    EXPECT_EQ (box.title, "JSON Error");
    EXPECT_EQ (component().getFileCount(), 0);
    press (box, "Cancel");
}

TEST_F (RecordRunTest, LocalFileIsTheProductFolderAndTheName)
{
    const auto element = presentFile ("setup file (1).bin", 512);
    runWithManifest (manifestWithFiles ({ element }));
    ASSERT_TRUE (waitForRecords());

    EXPECT_EQ (component().getDownloadFolder().getFullPathName(), productFolder().getFullPathName());
    EXPECT_EQ (component().getFileEntry (0)->localFile, base.get().getFullPathName() + "/" + productName + "/setup file (1).bin");
    expectDoneWithoutQuit();
}

TEST_F (RecordRunTest, TwoElementsWithTheSameNameShareTheirLocalFile)
{
    const auto element = presentFile ("same.bin", 700);
    runWithManifest (manifestWithFiles ({ element, element }));
    ASSERT_TRUE (waitForRecords());

    ASSERT_EQ (component().getFileCount(), 2);
    EXPECT_EQ (component().getFileEntry (0)->localFile, localFileOf ("same.bin"));
    EXPECT_EQ (component().getFileEntry (1)->localFile, localFileOf ("same.bin"));
    EXPECT_EQ (component().getFileEntry (1)->index, 1);
    EXPECT_EQ (component().getTotalBytes(), 1400);

    expectDoneWithoutQuit();
    EXPECT_EQ (component().getVerifiedCount(), 2);
    EXPECT_EQ (fileRequests ({ "same.bin" }), 0);
}
