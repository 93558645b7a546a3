#include <gtest/gtest.h>

#include "platform/text_format.h"
#include "tests/fakes/test_env.h"

namespace {

class FormatTest : public fakes::CoreTest {};

TEST_F(FormatTest, BoundedFormatRefusesTextThatDoesNotFit) {
    struct Case {
        std::size_t size;
        const char* arg;
        bool fits;
        const char* want;
    };
    const Case cases[] = {
        {7, "Wo", true, "cr Wo\r"},
        {6, "Wo", false, ""},  // no room for the NUL
        {64, "", true, "cr \r"},
    };
    for (const Case& c : cases) {
        char buf[64];
        EXPECT_EQ(FormatBounded(buf, c.size, "cr %s\r", c.arg), c.fits) << c.size;
        EXPECT_STREQ(buf, c.want) << c.size;
    }
}

TEST_F(FormatTest, ConsoleGetsBytesVerbatim) {
    ConPrintf("A %d\r\n", 5);
    ConWrite(std::string_view("%s\n\0x", 5));
    EXPECT_EQ(console.out, std::string("A 5\r\n%s\n\0x", 10));
}

}  // namespace
