/* The client library's C interface: for hosts written in C, built with another
 * C++ compiler than the library (C++ ABIs differ between compilers), or calling
 * from another language through a foreign-function interface.
 *
 *     #include "nemora_client_c.h"
 *
 *     nemora_client* debug = nemora_client_create();    // NULL if it failed
 *     nemora_client_printf(debug, "frame %d drawn", frame);
 *     nemora_client_fps(debug, fps);
 *     nemora_client_destroy(debug);                      // flushes; 0.6 s at most
 *
 * Each client is a nemora::DebugClient (nemora_client.h) and behaves as one:
 * calls copy the text into a bounded buffer and return, a writer thread of the
 * client's own writes it to the console, and when the buffer is full the oldest
 * lines are dropped and counted. The lifetime rules are the same: create and
 * destroy from ordinary code, never inside DllMain, and destroy every client
 * before the module that holds this code is unloaded.
 *
 * Writing, flush and dropped may be called from any number of threads at once;
 * shutdown and destroy from one thread, once no other thread uses the client.
 * Every function accepts a NULL client and then does nothing (returns 0). No
 * exception ever leaves these functions.
 *
 * Two builds:
 * - nemora_client.dll with its import library: the default. Calls go through
 *   __declspec(dllimport) declarations.
 * - the static library nemora_client_c_static: define NEMORA_CLIENT_STATIC
 *   before including (its CMake target does so).
 *
 * Calling convention: __cdecl on 32-bit x86 (declared explicitly, whatever the
 * host compiler's default); x64 Windows has a single convention, which every
 * foreign-function interface uses by default. Text is UTF-8; sizes are size_t;
 * the handle is an opaque pointer. */

#ifndef NEMORA_CLIENT_C_H
#define NEMORA_CLIENT_C_H

#include <stdarg.h>
#include <stddef.h>

#include "nemora_protocol.h"

#if defined(NEMORA_CLIENT_STATIC) || defined(NEMORA_CLIENT_BUILD)
#define NEMORA_CLIENT_API
#elif defined(_WIN32)
#define NEMORA_CLIENT_API __declspec(dllimport)
#else
#define NEMORA_CLIENT_API
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define NEMORA_CLIENT_CALL __cdecl
#else
#define NEMORA_CLIENT_CALL
#endif

/* Format checking. The static library formats as MinGW's own C99 printf does,
 * so GCC's gnu_printf checks calls exactly. The DLL reads arguments as the
 * Windows x64 C ABI passes them, where `long double` is a double: clang
 * targeting MSVC checks that exactly. GCC for MinGW has no check that matches
 * the DLL (gnu_printf takes %Lf as a 10-byte long double, ms_printf refuses
 * %zu), nor has clang targeting MinGW, so those hosts get no check. */
#if defined(NEMORA_CLIENT_STATIC) && defined(__MINGW32__) && defined(__GNUC__) && \
    !defined(__clang__)
#define NEMORA_CLIENT_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__clang__) && defined(_MSC_VER)
#define NEMORA_CLIENT_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#elif defined(__GNUC__) && !defined(_WIN32)
#define NEMORA_CLIENT_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define NEMORA_CLIENT_PRINTF(fmt, args)
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct nemora_client nemora_client; /* opaque */

/* ---- Creating and destroying ---- */

/* The layout is this header's, whatever packing the host has in force (a
 * #pragma pack or /Zp): natural alignment, 48 bytes on x64 (offsets 0, 8, 16,
 * 24, 32 and 40), 24 on 32-bit x86. Later versions only add fields at the end,
 * and `size` says which version a host was built with: the first version
 * ended with pipe_name (40 bytes on x64, 20 on x86), the second with
 * capture_debug_output. */
#pragma pack(push, 8)
typedef struct nemora_client_options {
    /* The bytes of the structure the host has: set by the init functions. */
    size_t size;
    /* Unsent lines kept at most, and their bytes at most; 0 for the default
     * (16384 lines, 1 MiB). Beyond either, the oldest unsent lines are dropped. */
    size_t max_buffered_lines;
    size_t max_buffered_bytes;
    /* How long destroy (or shutdown) waits for the buffer to reach the pipe. */
    unsigned flush_timeout_ms;
    /* UTF-8; NULL for the console's pipe. Another name only for a test server. */
    const char* pipe_name;
    /* Second version. Nonzero: every OutputDebugStringA/W call in the host
     * process, from any thread and any module, becomes lines of this client
     * while it lives (see nemora_client_capturing). Each call makes at least
     * one line, split at line feeds as nemora_client_line splits; A strings
     * are read in the host's ANSI code page, W strings as UTF-16. The call
     * returns at once, without the system's channel. Off (0) by default. */
    int capture_debug_output;
} nemora_client_options;
#pragma pack(pop)

/* Fills in the first version of the structure, its size and its defaults
 * (flush_timeout_ms 500), and never writes more, whatever later versions add:
 * a host that sets capture_debug_output uses nemora_client_options_init_sized,
 * or the DLL reads the first version only. */
NEMORA_CLIENT_API void NEMORA_CLIENT_CALL
nemora_client_options_init(nemora_client_options* options);
/* Fills in the defaults for a structure of `size` bytes, the host's sizeof:
 * zeroes it, sets the defaults of every field the DLL knows that fits, and
 * sets options->size = size. Writes nothing when size is smaller than the
 * first version. A host built against a later header, with more fields, works
 * with this DLL and the other way round:
 *     nemora_client_options_init_sized(&options, sizeof options); */
NEMORA_CLIENT_API void NEMORA_CLIENT_CALL
nemora_client_options_init_sized(nemora_client_options* options, size_t size);

/* Starts the client's writer thread; does not wait for a console. NULL on
 * failure. */
NEMORA_CLIENT_API nemora_client* NEMORA_CLIENT_CALL nemora_client_create(void);
/* As nemora_client_create, with options (NULL: the defaults). Reads only the
 * fields that options->size covers. NULL also when options->size is smaller
 * than the first version of the structure or the pipe name is not valid UTF-8. */
NEMORA_CLIENT_API nemora_client* NEMORA_CLIENT_CALL
nemora_client_create_with(const nemora_client_options* options);

/* Ends the capture of OutputDebugString, if any (waiting for a call being
 * taken on another thread); then waits at most flush_timeout_ms (all of it)
 * for the buffer to reach the pipe, and stops the writer thread; later lines
 * are ignored. Idempotent. */
NEMORA_CLIENT_API void NEMORA_CLIENT_CALL nemora_client_shutdown(nemora_client* c);
/* Shuts down, then frees the client. */
NEMORA_CLIENT_API void NEMORA_CLIENT_CALL nemora_client_destroy(nemora_client* c);

/* ---- Writing: any thread, any context, never waits for the console ---- */

/* Queues `length` bytes of UTF-8 text as one line, or several when it holds line
 * feeds (a final line feed adds no empty line). A NULL text queues nothing. */
NEMORA_CLIENT_API void NEMORA_CLIENT_CALL nemora_client_line(nemora_client* c, const char* text,
                                                             size_t length);
/* Queues NUL-terminated UTF-8 text as nemora_client_line does (for hosts whose
 * strings are NUL-terminated: C# LPUTF8Str, Python c_char_p, Rust CStr). A
 * NULL text queues nothing. */
NEMORA_CLIENT_API void NEMORA_CLIENT_CALL nemora_client_puts(nemora_client* c, const char* text);
/* The same for UTF-16 text (Windows' wide strings, C# string, Python
 * c_wchar_p), `length` in UTF-16 units: queued as UTF-8, a surrogate without
 * its other half as U+FFFD. */
NEMORA_CLIENT_API void NEMORA_CLIENT_CALL nemora_client_linew(nemora_client* c, const wchar_t* text,
                                                              size_t length);
NEMORA_CLIENT_API void NEMORA_CLIENT_CALL nemora_client_putsw(nemora_client* c,
                                                              const wchar_t* text);
/* Formats like C99 printf and queues the result as nemora_client_line does.
 * Foreign-function interfaces should format themselves and call line or puts.
 *
 * The DLL reads the arguments as the Windows x64 C ABI passes them, whatever
 * compiler built the host. Supported: flags -+ #0; width and precision as
 * digits or *; lengths hh h l ll j z t L, and MSVC's I I32 I64; conversions
 * d i u o x X c s p f F e E g G a A and %%. %ls and %lc take UTF-16 text and
 * show it as UTF-8, as do %S and %C (MSVC's narrow printf reads them so);
 * %hs, %hS, %hc and %hC take narrow text, as MSVC's printf does.
 * `long double` is a double in that ABI, so %Lf (%Le, %Lg, %La) reads a
 * double: a MinGW host passing a GCC 10-byte long double gets it read as a
 * double (a wrong number, never a crash); cast it to double. Refused: %n,
 * positional arguments (%1$d), other conversions, fields above 1048576. A
 * refused or malformed format queues the line
 * "[client] printf format not supported: " followed by the format itself,
 * reading no argument past the one it refused. With a precision, %ls reads no
 * more wide characters than it can show (the text need not be terminated).
 * Text longer than max_buffered_bytes is never built: the line
 * "[client] printf text longer than the buffer: " and the format is queued.
 *
 * The static library (NEMORA_CLIENT_STATIC, MinGW hosts only) formats with
 * MinGW's own C99 printf instead: there %Lf takes the host's long double, and
 * a format error queues nothing.
 *
 * At process exit it formats nothing and counts one line as dropped. */
NEMORA_CLIENT_API void NEMORA_CLIENT_CALL nemora_client_printf(nemora_client* c, const char* format,
                                                               ...) NEMORA_CLIENT_PRINTF(2, 3);
NEMORA_CLIENT_API void NEMORA_CLIENT_CALL nemora_client_vprintf(nemora_client* c,
                                                                const char* format, va_list args)
    NEMORA_CLIENT_PRINTF(2, 0);
/* A frame-rate reading for the console's title; only the latest unsent one is kept. */
NEMORA_CLIENT_API void NEMORA_CLIENT_CALL nemora_client_fps(nemora_client* c, double fps);

/* ---- What became of the lines ---- */

/* Waits until everything queued has been written to the pipe, for timeout_ms
 * at most (all of it, up to UINT_MAX): 1 if so, 0 if not (or for a NULL
 * client). Never needed for delivery. */
NEMORA_CLIENT_API int NEMORA_CLIENT_CALL nemora_client_flush(nemora_client* c, unsigned timeout_ms);
/* 1 while this client takes the host's OutputDebugString calls: asked for
 * with capture_debug_output, and no other client in the process (through
 * this DLL, another copy of it or the C++ library) took them first; else 0.
 * 0 after shutdown. */
NEMORA_CLIENT_API int NEMORA_CLIENT_CALL nemora_client_capturing(const nemora_client* c);
/* Lines dropped for want of buffer space since the client was created. */
NEMORA_CLIENT_API unsigned long long NEMORA_CLIENT_CALL
nemora_client_dropped(const nemora_client* c);

/* Why lines are not reaching the console right now (NEMORA_CLIENT_CONNECTED
 * while they are). */
enum nemora_client_status_code {
    NEMORA_CLIENT_STARTING = 0,      /* not tried to connect yet */
    NEMORA_CLIENT_CONNECTED = 1,     /* lines are being written */
    NEMORA_CLIENT_NO_CONSOLE = 2,    /* no console is running */
    NEMORA_CLIENT_PIPE_BUSY = 3,     /* another client holds the console */
    NEMORA_CLIENT_ACCESS_DENIED = 4, /* the pipe may not be opened (the console runs elevated) */
    NEMORA_CLIENT_FAILED = 5,        /* any other error; see system_error */
    NEMORA_CLIENT_SHUT_DOWN = 6      /* shut down, or a NULL client */
};
/* One of nemora_client_status_code; *system_error (may be NULL) gets the
 * Windows error code behind it, 0 while connected. */
NEMORA_CLIENT_API int NEMORA_CLIENT_CALL nemora_client_status(const nemora_client* c,
                                                              unsigned long* system_error);

#ifdef __cplusplus
}
#endif

#undef NEMORA_CLIENT_PRINTF

#endif /* NEMORA_CLIENT_C_H */
