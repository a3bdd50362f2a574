#include "download/MainComponent.h"

#include <gtest/gtest.h>

#include <ostream>

struct ProgressCase
{
    juce::int64 done, total;
    const char* size;
    const char* percentage;
};

std::ostream& operator<< (std::ostream& os, const ProgressCase& c)  { return os << c.done << " of " << c.total; }

class ProgressText : public ::testing::TestWithParam<ProgressCase> {};

TEST_P (ProgressText, ShowsSizeAndPercentage)
{
    const auto& c = GetParam();
    EXPECT_EQ (velm::sizeText (c.done, c.total).toStdString(), c.size);
    EXPECT_EQ (velm::percentageText (c.done, c.total).toStdString(), c.percentage);
}

INSTANTIATE_TEST_SUITE_P (Counts, ProgressText, ::testing::Values (
    ProgressCase { 1048576,    4194304,    "1.0 MB of 4.0 MB",        "25%" },
    ProgressCase { 1,          1000,       "1 byte of 1000 bytes",    "0%" },
    ProgressCase { 0,          0,          "0 bytes of 0 bytes",      "0%" },
    ProgressCase { 5,          0,          "5 bytes of 0 bytes",      "0%" },
    ProgressCase { 1023,       1024,       "1023 bytes of 1.0 KB",    "100%" },
    ProgressCase { 1536,       1073741824, "1.5 KB of 1.0 GB",        "0%" },
    ProgressCase { 1610612736, 6442450944, "1.5 GB of 6.0 GB",        "25%" },
    // Exactly halfway goes to the even neighbour.
    ProgressCase { 125,        1000,       "125 bytes of 1000 bytes", "12%" },
    ProgressCase { 135,        1000,       "135 bytes of 1000 bytes", "14%" },
    ProgressCase { 1,          8,          "1 byte of 8 bytes",       "12%" },
    ProgressCase { 3,          8,          "3 bytes of 8 bytes",      "38%" },
    ProgressCase { 5,          8,          "5 bytes of 8 bytes",      "62%" },
    ProgressCase { 996,        1000,       "996 bytes of 1000 bytes", "100%" },
    ProgressCase { 994,        1000,       "994 bytes of 1000 bytes", "99%" },
    // No upper limit, and never below zero.
    ProgressCase { 3,          2,          "3 bytes of 2 bytes",      "150%" },
    ProgressCase { -5,         100,        "-5 bytes of 100 bytes",   "0%" },
    ProgressCase { 5,          -100,       "5 bytes of -100 bytes",   "0%" }
));
