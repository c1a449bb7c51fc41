/* What the two parts of the C host share. */
#ifndef CLIENT_C_HOST_H
#define CLIENT_C_HOST_H

extern int failures;
void check(int ok, const char* what);

/* In a part of its own, which includes the client's header under #pragma pack(1). */
void options_are_the_headers_whatever_the_packing(void);

#endif
