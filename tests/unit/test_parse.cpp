// Numbers in option values: one rule, the whole text, in every locale.
#include <gtest/gtest.h>

#include <locale.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "glyphwipe.h"
#include "core/engine.h"
#include "core/parse.h"
#include "test_support.h"

TEST(Parse, WholeNumbersByOneRule)
{
    const struct {
        const char *text;
        int ok;
        long value;
    } cases[] = {
        {"0", 1, 0},        {"7", 1, 7},      {"007", 1, 7},      {"-12", 1, -12},   {"-0", 1, 0},
        {"128", 1, 128},    {"", 0, 0},       {"-", 0, 0},        {"+5", 0, 0},      {" 5", 0, 0},
        {"5 ", 0, 0},       {"5\n", 0, 0},    {"\t5", 0, 0},      {"5.0", 0, 0},     {"0x10", 0, 0},
        {"1e3", 0, 0},      {"--5", 0, 0},    {"5-", 0, 0},       {"٣", 0, 0},
        {"9223372036854775807", 1, 9223372036854775807L},
        {"-9223372036854775808", 1, -9223372036854775807L - 1},
        {"9223372036854775808", 0, 0},        {"-9223372036854775809", 0, 0},
        {"99999999999999999999999", 0, 0},
    };
    for (const auto &c : cases) {
        long v = 42;
        EXPECT_EQ(gw_parse_int(c.text, &v), c.ok ? 0 : -1) << "'" << c.text << "'";
        EXPECT_EQ(v, c.ok ? c.value : 42) << "'" << c.text << "'";
    }
    long v;
    EXPECT_EQ(gw_parse_int(nullptr, &v), -1);
}

TEST(Parse, FractionsByOneRule)
{
    const struct {
        const char *text;
        int ok;
        float value;
    } cases[] = {
        {"0.5", 1, 0.5f},   {"0.3", 1, 0.3f},  {"1", 1, 1.0f},     {"-2.25", 1, -2.25f}, {"00.125", 1, 0.125f},
        {"0.0001", 1, 0.0001f}, {"3.40282346e38", 0, 0}, {"", 0, 0}, {".5", 0, 0},      {"5.", 0, 0},
        {"+0.5", 0, 0},     {" 0.5", 0, 0},    {"0.5 ", 0, 0},     {"0,5", 0, 0},       {"1e-3", 0, 0},
        {"0x1p-1", 0, 0},   {"nan", 0, 0},     {"inf", 0, 0},      {"-", 0, 0},         {"1..5", 0, 0},
        {"0.5.1", 0, 0},
    };
    for (const auto &c : cases) {
        float v = 42.0f;
        EXPECT_EQ(gw_parse_float(c.text, &v), c.ok ? 0 : -1) << "'" << c.text << "'";
        EXPECT_EQ(v, c.ok ? c.value : 42.0f) << "'" << c.text << "'";
    }
    // Beyond float: refused, not infinity. Tiny values round to the nearest float.
    float v = 1.0f;
    std::string huge = "1" + std::string(50, '0');
    EXPECT_EQ(gw_parse_float(huge.c_str(), &v), -1);
    std::string tiny = "0." + std::string(60, '0') + "1";
    EXPECT_EQ(gw_parse_float(tiny.c_str(), &v), 0);
    EXPECT_EQ(v, 0.0f);
}

// Under a locale whose decimal point is a comma, "0.5" is still a threshold
// and "0,5" is not one. The locale is made at test time with localedef (a
// file of two categories) and set in a child process only.
TEST(Parse, LocaleOfTheHostDoesNotMatter)
{
    std::string dir = gwt::temp_dir();
    gwt::write_file(dir + "/comma.src",
                    "LC_CTYPE\ncopy \"POSIX\"\nEND LC_CTYPE\n"
                    "LC_NUMERIC\ndecimal_point \",\"\nthousands_sep \".\"\ngrouping 3;3\nEND LC_NUMERIC\n");
    // localedef warns about the categories left out and exits 1 with -c.
    gwt::run("localedef -c -i " + gwt::sh_quote(dir + "/comma.src") + " -f UTF-8 " +
             gwt::sh_quote(dir + "/comma.UTF-8") + " || true");
    if (!gwt::file_exists(dir + "/comma.UTF-8/LC_NUMERIC"))
        GTEST_SKIP() << "localedef could not make a test locale";
    // Loaded in the child only: glibc keeps a little memory of a locale path.

    auto child = [&] {
        setenv("LOCPATH", dir.c_str(), 1);
        if (!setlocale(LC_NUMERIC, "comma.UTF-8") || strtof("0,5", nullptr) != 0.5f)
            _exit(3);  // the locale does not load or did not take effect
        float v = 0;
        bool ok = gw_parse_float("0.5", &v) == 0 && v == 0.5f && gw_parse_float("0,5", &v) == -1 &&
                  glyphwipe_set_option("threshold", "0.25") == 0 && gw_engine.opt.threshold == 0.25f &&
                  glyphwipe_set_option("threshold", "0,75") == -1 && gw_engine.opt.threshold == 0.25f;
        _exit(ok ? 0 : 1);
    };
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}
