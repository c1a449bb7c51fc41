/* A host that loads component.dll from its own folder, serves the pipe it
 * names and checks that the line the component logs arrives whole. Run alone in
 * a folder with the DLL: a MinGW runtime DLL the component needed would make
 * LoadLibraryW fail (error 126). */

#include <stdbool.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

typedef bool (*component_log_fn)(const wchar_t* pipe_name, const char* text);

static const char kLine[] = "hello from a component";

static char received[256];

/* Everything the client writes, until it disconnects. */
static DWORD WINAPI ReadAll(LPVOID pipe) {
    DWORD length = 0;
    DWORD read = 0;
    /* A client that has come and gone already (ERROR_NO_DATA) left its bytes. */
    if (!ConnectNamedPipe(pipe, NULL) && GetLastError() != ERROR_PIPE_CONNECTED &&
        GetLastError() != ERROR_NO_DATA) {
        return 1;
    }
    while (length < sizeof received - 1 &&
           ReadFile(pipe, received + length, (DWORD)(sizeof received - 1 - length), &read, NULL)) {
        length += read;
    }
    return 0;
}

int main(void) {
    wchar_t name[64];
    HANDLE pipe;
    HMODULE dll;
    component_log_fn log;
    HANDLE reader;
    bool logged;
    char expected[sizeof kLine + 1];

    swprintf(name, 64, L"\\\\.\\pipe\\nemora-package-component-%lu", GetCurrentProcessId());
    pipe = CreateNamedPipeW(name, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 4096, 0,
                            NULL);
    if (pipe == INVALID_HANDLE_VALUE) {
        printf("CreateNamedPipeW failed: %lu\n", GetLastError());
        return 1;
    }
    dll = LoadLibraryW(L"component.dll");
    if (dll == NULL) {
        printf("LoadLibraryW(component.dll) failed: %lu\n", GetLastError());
        return 1;
    }
    log = (component_log_fn)(void*)GetProcAddress(dll, "component_log");
    if (log == NULL) {
        printf("component.dll exports no component_log\n");
        return 1;
    }
    reader = CreateThread(NULL, 0, ReadAll, pipe, 0, NULL);
    logged = log(name, kLine);
    /* The client let go of the pipe when it was destroyed: the reader ends. */
    if (WaitForSingleObject(reader, 30000) != WAIT_OBJECT_0) {
        printf("the component's line never came\n");
        return 1;
    }
    snprintf(expected, sizeof expected, "%s\n", kLine);
    printf("received \"%s\"\n", received);
    FreeLibrary(dll);
    return logged && strcmp(received, expected) == 0 ? 0 : 1;
}
