// One rule for the numbers in option values, independent of the C locale:
// the text is checked character by character, and only the conversion of an
// already checked decimal fraction goes through strtof, in the "C" locale.
#include "parse.h"

#include <errno.h>
#include <limits.h>
#include <locale.h>
#include <math.h>
#include <stdlib.h>

#if defined(__APPLE__)
#  include <xlocale.h>
#endif

/* Length of the run of decimal digits at s. */
static int digits(const char *s)
{
    int n = 0;
    while (s[n] >= '0' && s[n] <= '9')
        n++;
    return n;
}

int gw_parse_int(const char *s, long *out)
{
    if (!s)
        return -1;
    const int neg = s[0] == '-';
    const char *p = s + neg;
    const int n = digits(p);
    if (n == 0 || p[n] != '\0')
        return -1;
    /* Accumulated as a negative number, whose range is the larger one. */
    long v = 0;
    for (int i = 0; i < n; i++) {
        const int d = p[i] - '0';
        if (v < (LONG_MIN + d) / 10)
            return -1;
        v = v * 10 - d;
    }
    if (!neg && v == LONG_MIN)
        return -1;
    *out = neg ? v : -v;
    return 0;
}

/* strtof in the "C" locale whatever the process's locale is. */
static float strtof_c(const char *s, char **end)
{
#if defined(_WIN32)
    static const _locale_t c_locale = _create_locale(LC_ALL, "C");
    return _strtof_l(s, end, c_locale);
#else
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", (locale_t)0);
    if (!c_locale) /* out of memory at the first call; then the process's locale */
        return strtof(s, end);
    return strtof_l(s, end, c_locale);
#endif
}

int gw_parse_float(const char *s, float *out)
{
    if (!s)
        return -1;
    const char *p = s + (s[0] == '-');
    int n = digits(p);
    if (n == 0)
        return -1;
    p += n;
    if (*p == '.') {
        n = digits(p + 1);
        if (n == 0)
            return -1;
        p += 1 + n;
    }
    if (*p != '\0')
        return -1;
    char *end = NULL;
    errno = 0;
    const float v = strtof_c(s, &end);
    /* Underflow to zero or a subnormal is still the nearest float. */
    if (end != p || (errno == ERANGE && isinf(v)) || isnan(v))
        return -1;
    *out = v;
    return 0;
}
