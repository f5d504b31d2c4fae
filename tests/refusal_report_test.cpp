#include "pointer_injection.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

// Keeps each write to the stream apart, to see how a report is made up.
class WriteRecorder : public std::streambuf {
  public:
    std::vector<std::string> writes;

  protected:
    std::streamsize xsputn(const char *s, std::streamsize n) override
    {
        writes.emplace_back(s, static_cast<std::size_t>(n));
        return n;
    }
    int_type overflow(int_type c) override
    {
        if (!traits_type::eq_int_type(c, traits_type::eof()))
            writes.emplace_back(1, traits_type::to_char_type(c));
        return traits_type::not_eof(c);
    }
};

TEST(RefusalReport, ExactBytes)
{
    std::ostringstream out;
    report_refused_motion(out, 0, 5);
    EXPECT_EQ(out.str(),
              "Error sending to input:\n\tReturn value: 0\n\tError code: 5\n");
}

TEST(RefusalReport, SevenSeparateWritesWithPlainNumbers)
{
    WriteRecorder recorder;
    std::ostream out(&recorder);
    report_refused_motion(out, 0, 5);
    const std::vector<std::string> expected{"Error sending to input:\n",
                                            "\tReturn value: ",
                                            "0",
                                            "\n",
                                            "\tError code: ",
                                            "5",
                                            "\n"};
    EXPECT_EQ(recorder.writes, expected);
}

TEST(RefusalReport, NumbersAreUnsignedDecimal)
{
    std::ostringstream out;
    report_refused_motion(out, 4294967295U, 1450);
    EXPECT_EQ(out.str(), "Error sending to input:\n\tReturn value: 4294967295\n"
                         "\tError code: 1450\n");
}

} // namespace
