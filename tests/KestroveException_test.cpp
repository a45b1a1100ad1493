#include "KestroveException.h"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

TEST(KestroveException, EveryStatusHasItsNumberedMessage)
{
    const std::vector<std::pair<ErrorStatus, std::string>> expected = {
        {ERR_UNKNOWN, "Error 100: Unknown"},
        {ERR_BAM_OPEN, "Error 101: Failed to open the BAM file"},
        {ERR_BAM_HEADER, "Error 102: Error in BAM header"},
        {ERR_BAM_INDEX, "Error 103: Failed to open the BAM index file"},
        {ERR_REGION_PARSE, "Error 104: Failed to parse the region []"},
        {ERR_REGION_FETCH, "Error 105: Failed to retrive BAM region"},
        {ERR_NO_HITS, "Error 106: No hits"},
        {ERR_GTF_OPEN, "Error 107: Failed to open the GTF file"},
        {ERR_DIVISION_BY_ZERO, "Error 108: Division by 0"},
        {ERR_NONE, "Error 109: None"},
        {ERR_MEMORY_ALLOCATION, "Error 110: Memory allocation error"},
    };
    for (const auto& [status, message] : expected) {
        KestroveException e(status);
        EXPECT_EQ(e.message, message);
        EXPECT_STREQ(e.what(), message.c_str());
        EXPECT_EQ(e.code, status);
    }
}

TEST(KestroveException, DetailFollowsTheStatusText)
{
    EXPECT_STREQ(KestroveException(ERR_REGION_PARSE, "chr1:0-10").what(),
                 "Error 104: Failed to parse the region [chr1:0-10]");
    EXPECT_STREQ(KestroveException(ERR_REGION_PARSE).what(), "Error 104: Failed to parse the region []");
    EXPECT_STREQ(KestroveException(ERR_BAM_OPEN, "reads.bam").what(), "Error 101: Failed to open the BAM file: reads.bam");
}

TEST(KestroveException, DefaultConstructedIsUnknownWithCodeZero)
{
    KestroveException e;
    EXPECT_STREQ(e.what(), "Unkown error");
    EXPECT_EQ(static_cast<int>(e.code), 0);
}

TEST(KestroveException, SetLastErrorStringReplacesMessageAndCode)
{
    KestroveException e(ERR_GTF_OPEN);
    e.SetLastErrorString(ERR_REGION_PARSE, "chrX:5-1");
    EXPECT_EQ(e.message, "Error 104: Failed to parse the region [chrX:5-1]");
    EXPECT_EQ(e.code, ERR_REGION_PARSE);
    e.SetLastErrorString(ERR_NONE, "");
    EXPECT_EQ(e.message, "Error 109: None");
    EXPECT_EQ(e.code, ERR_NONE);
}
