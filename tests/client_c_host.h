/* What the two parts of the C host share. */
#ifndef CLIENT_C_HOST_H
#define CLIENT_C_HOST_H

extern int failures;
void check(int ok, const char* what);

/* In a part of its own, which includes the client's header under #pragma pack(1). */
void options_are_the_headers_whatever_the_packing(void);

/* A line of fields wider than the DLL hands to the C runtime, and its
 * arguments: the test formats it with its own C runtime to compare. */
#define WIDE_FIELDS_FORMAT "%0100d|%0100.5d|%-70x|%+.70d|%#0100x|%#.80o|%0100.3f|%080e|%100s|% 080d"
#define WIDE_FIELDS_ARGUMENTS -42, 42, 255u, 7, 255u, 8u, -2.5, 1.0, "s", 3

#endif
