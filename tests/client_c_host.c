/* A host written in C that uses the client's C interface through the DLL's
 * import library, built twice: by MinGW and for the MSVC ABI (where long
 * double is a double). Started by client_c_test with the real console running;
 * the test reads the console's view. Exits 0 when every call returned what it
 * should; otherwise prints the check that failed and exits 1. */

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <windows.h>
#include <psapi.h>

#include "nemora_client_c.h"

#include "client_c_host.h"

/* The DLL reads %Lf as the Windows x64 ABI passes it, a double: a long double
 * in an MSVC-ABI host, a double cast from one in a MinGW host. */
#if defined(_MSC_VER)
#define HOST_LONG_DOUBLE(x) x##L
#else
#define HOST_LONG_DOUBLE(x) x
#endif

#if defined(_MSC_VER)
int _fltused = 0; /* no MSVC runtime start-up here: Wine's, and this */
#endif

int failures = 0;

void check(int ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "failed: %s\n", what);
        ++failures;
    }
}

/* A NULL client is accepted everywhere; bad options make no client. */
static void null_and_bad_arguments(void) {
    nemora_client_options options;
    nemora_client_line(NULL, "x", 1);
    nemora_client_printf(NULL, "%d", 1);
    nemora_client_puts(NULL, "x");
    nemora_client_fps(NULL, 1.0);
    nemora_client_shutdown(NULL);
    nemora_client_destroy(NULL);
    nemora_client_options_init(NULL);
    check(nemora_client_flush(NULL, 0) == 0, "flush of NULL is 0");
    check(nemora_client_dropped(NULL) == 0, "dropped of NULL is 0");
    check(nemora_client_status(NULL, NULL) == NEMORA_CLIENT_SHUT_DOWN, "status of NULL");

    nemora_client_options_init(&options);
    options.size = sizeof options.size;
    check(nemora_client_create_with(&options) == NULL, "an options size too small makes no client");
    nemora_client_options_init(&options);
    options.pipe_name = "\\\\.\\pipe\\\xff";
    check(nemora_client_create_with(&options) == NULL, "a pipe name not in UTF-8 makes no client");
}

/* A precision reads no more of wide text than it can show: three characters
 * with no terminator, right before a page that may not be read. And whole
 * characters only: one byte has no room for the two of U+00E9. */
static void print_wide_text_before_an_inaccessible_page(nemora_client* client) {
    SYSTEM_INFO system;
    char* pages;
    wchar_t* text;
    DWORD old;
    GetSystemInfo(&system);
    pages =
        (char*)VirtualAlloc(NULL, 2 * system.dwPageSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    check(pages != NULL, "VirtualAlloc");
    if (pages == NULL) {
        return;
    }
    text = (wchar_t*)(pages + system.dwPageSize) - 3;
    memcpy(text, L"abc", 3 * sizeof(wchar_t));
    check(VirtualProtect(pages + system.dwPageSize, system.dwPageSize, PAGE_NOACCESS, &old) != 0,
          "VirtualProtect");
    nemora_client_printf(client, "wide %.3ls|%.*ls|%.1ls|%.2ls", text, 3, text, L"\u00e9",
                         L"\u00e9");
    VirtualFree(pages, 0, MEM_RELEASE);
}

static void print_through_vprintf(nemora_client* client, const char* format, ...) {
    va_list args;
    va_start(args, format);
    nemora_client_vprintf(client, format, args);
    va_end(args);
}

/* The widest fields accepted, on a thread with the smallest stack a host may
 * give one: each builds a line of a mebibyte, which with room for just one
 * pushes the one before out, so each was built rather than refused. */
static DWORD WINAPI print_large_fields(void* client) {
    static const char* const formats[] = {
        "%.1048576d",  "%1048576d",  "%-1048576d", "%+.1048576lld", "%.1048576u", "%#.1048576o",
        "%#.1048576x", "%01048576X", "%1048576zu", "%.1048576hhd",  "%1048576c",  "%1048576s",
        "%.1048576f",  "%1048576e",  "%.1048576g", "%#.1048576G",   "%.1048576a", "%1048576p",
    };
    int i;
    for (i = 0; i < (int)(sizeof formats / sizeof formats[0]); ++i) {
        /* One argument of each kind the conversions read; the first is used. */
        if (strchr("cdiuoxX", formats[i][strlen(formats[i]) - 1]) != NULL) {
            nemora_client_printf((nemora_client*)client, formats[i], 7);
        } else if (strchr(formats[i], 's') != NULL) {
            nemora_client_printf((nemora_client*)client, formats[i], "s");
        } else if (strchr(formats[i], 'p') != NULL) {
            nemora_client_printf((nemora_client*)client, formats[i], (void*)formats);
        } else {
            nemora_client_printf((nemora_client*)client, formats[i], 1.0 / 3);
        }
    }
    return (DWORD)(sizeof formats / sizeof formats[0]);
}

static void large_fields_on_a_small_stack(void) {
    nemora_client_options options;
    nemora_client* client;
    HANDLE thread;
    DWORD printed = 0;
    nemora_client_options_init(&options);
    options.max_buffered_bytes = 1048576 + 32;
    options.flush_timeout_ms = 0;
    options.pipe_name = "\\\\.\\pipe\\nemora-c-host-nobody";
    client = nemora_client_create_with(&options);
    check(client != NULL, "create_with");
    thread = CreateThread(NULL, 64 * 1024, print_large_fields, client,
                          STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
    check(thread != NULL, "a thread with a 64 KiB stack");
    if (thread != NULL) {
        WaitForSingleObject(thread, INFINITE);
        GetExitCodeThread(thread, &printed);
        CloseHandle(thread);
    }
    check(printed > 0 && nemora_client_dropped(client) == printed - 1,
          "the widest fields are built on a 64 KiB stack");
    nemora_client_destroy(client);
}

/* 200 fields of a mebibyte, in one format: the output could never be queued,
 * and is never built. */
static void one_call_builds_no_more_than_the_buffer_holds(void) {
    static char format[200 * sizeof "%1048576d"];
    PROCESS_MEMORY_COUNTERS before;
    PROCESS_MEMORY_COUNTERS after;
    nemora_client_options options;
    nemora_client* client;
    int i;
    format[0] = '\0';
    for (i = 0; i < 200; ++i) {
        strcat(format, "%1048576d");
    }
    nemora_client_options_init(&options);
    options.flush_timeout_ms = 0;
    options.pipe_name = "\\\\.\\pipe\\nemora-c-host-nobody";
    client = nemora_client_create_with(&options);
    check(client != NULL, "create_with");
    before.cb = after.cb = sizeof before;
    check(K32GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before) != 0,
          "memory counters");
    nemora_client_printf(client, format, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17,
                         18, 19, 20);
    check(K32GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after) != 0,
          "memory counters");
    /* The default buffer holds a mebibyte. Private bytes, and the pages
     * touched (Wine counts no private bytes). */
    check(after.PeakPagefileUsage <= before.PagefileUsage + 4 * 1048576 &&
              after.PeakWorkingSetSize <= before.WorkingSetSize + 4 * 1048576,
          "one printf's output is bounded by the buffer");
    nemora_client_destroy(client);
}

static void writes_to_the_console(void) {
    static const char cut[] = "cut here";
    nemora_client* client = nemora_client_create();
    check(client != NULL, "create");
    nemora_client_line(client, "from C", strlen("from C"));
    nemora_client_line(client, "two\nlines\n", strlen("two\nlines\n"));
    nemora_client_line(client, cut, 3);
    nemora_client_line(client, "na\xc3\xafve \xe2\x9c\x93", strlen("na\xc3\xafve \xe2\x9c\x93"));
    nemora_client_printf(client, "%s %d %zu %.1f %lld", "printf", 42, (size_t)7, 2.5, -(1LL << 40));
    nemora_client_printf(client, "%Lf|%-6.2Lg|%hhd|%I64x|%5ls|%lc|%p", HOST_LONG_DOUBLE(1.5),
                         HOST_LONG_DOUBLE(0.125), (signed char)-5, 0xabcdef0123ULL, L"w\u00e9",
                         L'\u2713', (void*)0);
    /* long is 32 bits in the Windows ABI; a negative `*` width left-justifies,
     * a negative `*` precision is none. */
    nemora_client_printf(client, "%ld %lu %lx|%*d|%.*s|%.*s", -1L, 4294967295UL, 0xdeadbeefUL, -3,
                         7, -1, "whole", 2, "cut");
    print_through_vprintf(client, "vprintf %s %u", "too", 3u);
    print_wide_text_before_an_inaccessible_page(client);
    /* Fields wider than the DLL hands to the C runtime: padded by the DLL. */
    nemora_client_printf(client, WIDE_FIELDS_FORMAT, WIDE_FIELDS_ARGUMENTS);
    nemora_client_printf(client, "refused %d %n", 1, (int*)NULL);
    nemora_client_puts(client, "puts\nsplit");
    nemora_client_puts(client, NULL);
    nemora_client_fps(client, 42.0);
    nemora_client_line(client, "last", 4);
    check(nemora_client_flush(client, 30000) == 1, "flush reaches the pipe");
    check(nemora_client_dropped(client) == 0, "nothing dropped");
    check(nemora_client_status(client, NULL) == NEMORA_CLIENT_CONNECTED, "status: connected");
    nemora_client_shutdown(client);
    nemora_client_line(client, "after shutdown", strlen("after shutdown"));
    nemora_client_destroy(client);
}

/* UTF-16 text, and the host's OutputDebugString calls taken by a second
 * client, which asks for them in the options' second version. */
static void writes_wide_text_and_captures_debug_output(void) {
    static const wchar_t wide[] = L"wide J\u00f6rg \u30b2\u30fc\u30e0\ncut here";
    nemora_client_options options;
    nemora_client* client;
    nemora_client* second;
    nemora_client_linew(NULL, wide, 4);
    nemora_client_putsw(NULL, wide);
    check(nemora_client_capturing(NULL) == 0, "capturing of NULL is 0");

    nemora_client_options_init_sized(&options, sizeof options);
    options.capture_debug_output = 1;
    client = nemora_client_create_with(&options);
    check(nemora_client_capturing(client) == 1, "the first client asking captures");
    second = nemora_client_create_with(&options);
    check(second != NULL && nemora_client_capturing(second) == 0,
          "a second client asking is told it does not capture");
    nemora_client_destroy(second);

    nemora_client_linew(client, wide, 17); /* up to "cut" */
    nemora_client_linew(client, NULL, 3);
    nemora_client_putsw(client, L"putsw \u2713");
    nemora_client_putsw(client, NULL);
    nemora_client_printf(client, "%S|%C|%5.1f|%hs|%hS|%hc|%-2hC|", L"J\u00f6rg", L'\u2713', 2.5,
                         "hs", "hS", 'c', 'C');
    OutputDebugStringA("OutputDebugStringA\r\nin C\n");
    OutputDebugStringW(L"OutputDebugStringW in C");
    check(nemora_client_flush(client, 30000) == 1, "flush reaches the pipe");
    nemora_client_destroy(client);
    OutputDebugStringA("after destroy");
}

int main(void) {
    one_call_builds_no_more_than_the_buffer_holds(); /* first: the peak is the process's */
    null_and_bad_arguments();
    large_fields_on_a_small_stack();
    options_are_the_headers_whatever_the_packing();
    writes_to_the_console();
    writes_wide_text_and_captures_debug_output();
    return failures == 0 ? 0 : 1;
}
