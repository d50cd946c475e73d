// Repeated set-up and tear-down must not grow the process.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string>

#include "glyphwipe.h"
#include "test_support.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#  define GW_UNDER_SANITIZER 1
#elif defined(__has_feature)
#  if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#    define GW_UNDER_SANITIZER 1
#  endif
#endif

static long rss_kib()
{
    long pages = 0, resident = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (!f)
        return -1;
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2)
        resident = -1;
    fclose(f);
    return resident * 4;
}

TEST(Hardening, InitCleanupManyTimesDoesNotGrow)
{
    std::string dir = gwt::small_engine_dir();
    // Warm up: the runtime keeps some process-wide state after the first load.
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(glyphwipe_init(dir.c_str()), 0) << glyphwipe_last_error();
        glyphwipe_cleanup();
    }
    long before = rss_kib();
    const int rounds = 25;
    for (int i = 0; i < rounds; i++) {
        ASSERT_EQ(glyphwipe_init(dir.c_str()), 0) << glyphwipe_last_error();
        if (i % 2) {  // also a second init over a live one
            ASSERT_EQ(glyphwipe_init(dir.c_str()), 0) << glyphwipe_last_error();
        }
        glyphwipe_cleanup();
    }
    long after = rss_kib();
    printf("resident before %ld KiB, after %d rounds %ld KiB\n", before, rounds, after);
#ifndef GW_UNDER_SANITIZER
    // One detection session is several MB; losing one per round would show.
    EXPECT_LT(after - before, 16 * 1024);
#endif
}
