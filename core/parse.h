/* Numbers in option values, read the same way in every locale.
 *
 * The whole text must be one number: an optional '-', one or more decimal
 * digits and, for gw_parse_float only, optionally a '.' followed by one or
 * more digits. Nothing else is taken: no blank before or after, no '+', no
 * exponent, no hexadecimal, no empty text, no "inf" or "nan". */
#ifndef GW_PARSE_H
#define GW_PARSE_H

/* 0 with *out set, or -1 (not such a number, or beyond the range of long). */
int gw_parse_int(const char *s, long *out);

/* 0 with *out set to the float nearest the number, or -1 (not such a
 * number, or beyond the range of float). */
int gw_parse_float(const char *s, float *out);

#endif /* GW_PARSE_H */
