/* A host program written the way a Windows application uses the DLLs. It
 * refers to every export through the import libraries, so it links only when
 * the import libraries map the header's declarations (on 32-bit x86 the
 * __stdcall-decorated names) onto the DLLs' exports, and its import table
 * then names them (windows.host_imports checks the names are the plain
 * ones). Run, it finds every export again with GetProcAddress under its
 * plain name, as hosts that load the DLL at run time do, and calls each one
 * through a pointer of its declared type (__stdcall on 32-bit x86) with the
 * stack pointer read before and after the call: a function that cleaned up
 * more or less than its arguments would move it. It reads the version
 * resources, and makes every call against a port that cannot be opened.
 * Prints one line per failed check. */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "qor_comm.h"
#include "qor_dll.h"
/* QOR_DLL_EXPORTS(X): X(name) for each function of qor_dll.h (generated
 * from the header by the build). */
#include "qor_dll_exports.h"

static int checks;
static int failures;

static void check(int ok, const char *what, const char *detail) {
    ++checks;
    if (!ok) {
        ++failures;
        printf("FAILED: %s %s\n", what, detail);
    }
}

struct Export {
    const char *name;
    FARPROC linked; /* only to make the program import it */
};

#define EXPORT(name) \
    { #name, (FARPROC)(void *)name }

static void check_exports(const char *dll, const struct Export *exports, size_t count) {
    HMODULE module = GetModuleHandleA(dll);
    check(module != NULL, "loaded:", dll);
    for (size_t i = 0; module != NULL && i < count; ++i) {
        FARPROC found = GetProcAddress(module, exports[i].name);
        check(found != NULL && exports[i].linked != NULL, "GetProcAddress finds", exports[i].name);
    }
}

static void check_version(const char *dll, const char *description) {
    char path[MAX_PATH];
    static char data[8192];
    HMODULE module = GetModuleHandleA(dll);
    DWORD size = GetModuleFileNameA(module, path, sizeof path);
    check(size > 0 && size < sizeof path, "module path of", dll);
    DWORD needed = GetFileVersionInfoSizeA(path, NULL);
    check(needed > 0 && needed <= sizeof data, "version resource in", dll);
    if (needed == 0 || needed > sizeof data || !GetFileVersionInfoA(path, 0, sizeof data, data)) {
        return;
    }
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    /* QOR_RC_VERSION and QOR_VERSION: the project's version, from CMake. */
    static const DWORD parts[4] = {QOR_RC_VERSION};
    const DWORD version_ms = (parts[0] << 16) | parts[1];
    const DWORD version_ls = (parts[2] << 16) | parts[3];
    check(VerQueryValueA(data, "\\", (void **)&fixed, &length) && fixed != NULL &&
              fixed->dwFileVersionMS == version_ms && fixed->dwFileVersionLS == version_ls &&
              fixed->dwProductVersionMS == version_ms && fixed->dwProductVersionLS == version_ls,
          "FILEVERSION and PRODUCTVERSION " QOR_VERSION " in", dll);
    const struct {
        const char *key;
        const char *value;
    } strings[] = {
        {"\\StringFileInfo\\040904B0\\FileDescription", description},
        {"\\StringFileInfo\\040904B0\\FileVersion", QOR_VERSION},
        {"\\StringFileInfo\\040904B0\\ProductVersion", QOR_VERSION},
    };
    for (size_t i = 0; i < sizeof strings / sizeof strings[0]; ++i) {
        char *text = NULL;
        int found = VerQueryValueA(data, strings[i].key, (void **)&text, &length);
        check(found && text != NULL && strcmp(text, strings[i].value) == 0, dll, strings[i].key);
    }
}

/* The stack pointer, read where the statement stands. */
#if defined(__i386__)
#define READ_SP(var) __asm__ volatile("movl %%esp, %0" : "=r"(var) : : "memory")
#else
#define READ_SP(var) __asm__ volatile("movq %%rsp, %0" : "=r"(var) : : "memory")
#endif

/* Runs one call and reports whether the stack pointer came back to where it
 * was: after a callee that removed more or fewer argument bytes than its
 * declared convention says, it would not. */
#define CALL_KEEPS_SP(keeps, statement)  \
    do {                                 \
        uintptr_t sp_before_;            \
        uintptr_t sp_after_;             \
        READ_SP(sp_before_);             \
        statement;                       \
        READ_SP(sp_after_);              \
        keeps = sp_before_ == sp_after_; \
    } while (0)

typedef void(QOR_CALL *SwitchFn)(unsigned char);
typedef float(QOR_CALL *QueryFn)(int, int, int *, int *);
typedef float(QOR_CALL *LimitQueryFn)(int, int, int *, int *, int *);
typedef int(QOR_CALL *CommandFn)(int, int, int *, int *);
typedef int(QOR_CALL *LimitFn)(int, int, int, float, int *, int *);
typedef int(QOR_CALL *ValueFn)(int, int, float, int *, int *);
typedef int(QOR_CALL *BytesFn)(int, int, int, int, int, int *, int *);
typedef int(QOR_CALL *BitFn)(int, int, int, int *, int *);

enum Shape { SWITCH, QUERY, LIMIT_QUERY, COMMAND, LIMIT, VALUE, BYTES, BIT };

/* Every export of qor_dll.dll with its declared type and what it returns on
 * a port whose link is refused: a value or bit of 0, or the status 200. */
static const struct {
    const char *name;
    enum Shape shape;
    int result;
} kExports[] = {
    {"QOR_EnableDebug", SWITCH, 0}, {"QOR_EnableCmdChecksum", SWITCH, 0},
    {"QOR_RD", QUERY, 0},           {"QOR_ND", QUERY, 0},
    {"QOR_RZ", QUERY, 0},           {"QOR_RH", LIMIT_QUERY, 0},
    {"QOR_RL", LIMIT_QUERY, 0},     {"QOR_RE", COMMAND, 0},
    {"QOR_EC", COMMAND, 0},         {"QOR_CA", COMMAND, 200},
    {"QOR_CE", COMMAND, 200},       {"QOR_CZ", COMMAND, 200},
    {"QOR_DA", COMMAND, 200},       {"QOR_EA", COMMAND, 200},
    {"QOR_RR", COMMAND, 200},       {"QOR_HI", LIMIT, 200},
    {"QOR_LO", LIMIT, 200},         {"QOR_SP", VALUE, 200},
    {"QOR_TS", VALUE, 200},         {"QOR_TZ", VALUE, 200},
    {"QOR_AO", VALUE, 200},         {"QOR_DO", BYTES, 200},
    {"QOR_DI", BYTES, 0},           {"QOR_RB", BIT, 0},
    {"QOR_SB", BIT, 200},           {"QOR_CB", BIT, 200},
};

enum { REFUSED_PORT = 7 };

/* Calls one export through a pointer of its declared type, found by its
 * plain name; returns its result and whether the stack pointer was kept. */
static int call_export(FARPROC function, enum Shape shape, int *status, int *error, int *sp_kept) {
    const int port = REFUSED_PORT;
    void *untyped = (void *)function;
    int mode = -5;
    int result = -5;
    switch (shape) {
        case SWITCH:
            CALL_KEEPS_SP(*sp_kept, ((SwitchFn)untyped)(0));
            *status = *error = 0; /* a switch reports nothing */
            return 0;
        case QUERY:
            CALL_KEEPS_SP(*sp_kept, result = (int)((QueryFn)untyped)(port, '1', status, error));
            return result;
        case LIMIT_QUERY:
            CALL_KEEPS_SP(*sp_kept,
                          result = (int)((LimitQueryFn)untyped)(port, '1', &mode, status, error));
            return mode == -1 ? result : -6;
        case COMMAND:
            CALL_KEEPS_SP(*sp_kept, result = ((CommandFn)untyped)(port, '1', status, error));
            return result;
        case LIMIT:
            CALL_KEEPS_SP(*sp_kept,
                          result = ((LimitFn)untyped)(port, '1', 1, 100.0f, status, error));
            return result;
        case VALUE:
            CALL_KEEPS_SP(*sp_kept, result = ((ValueFn)untyped)(port, '1', 12.5f, status, error));
            return result;
        case BYTES:
            CALL_KEEPS_SP(*sp_kept, result = ((BytesFn)untyped)(port, '1', 1, 1, 0, status, error));
            return result;
        case BIT:
            CALL_KEEPS_SP(*sp_kept, result = ((BitFn)untyped)(port, '1', 5, status, error));
            return result;
    }
    return -7;
}

/* The check must be able to fail: QOR_ClosePort uses the C convention and
 * leaves its argument for the caller to remove, so called through a
 * __stdcall pointer it leaves the stack pointer 4 bytes lower on 32-bit x86.
 * The frame pointer puts it right on return. */
#if defined(__i386__)
__attribute__((noinline, optimize("no-omit-frame-pointer"))) static int mismatched_call_keeps_sp(
    void) {
    typedef void(__stdcall * WrongFn)(int);
    WrongFn wrong =
        (WrongFn)(void *)GetProcAddress(GetModuleHandleA("qor_comm.dll"), "QOR_ClosePort");
    int kept = 1;
    if (wrong != NULL) {
        CALL_KEEPS_SP(kept, wrong(REFUSED_PORT));
    }
    return kept;
}
#endif

/* Port 7 points at a TCP port nobody listens on: every call must report a
 * link fault (200/1) with a zero result, whichever way it was reached, and
 * write both out-parameters. */
static void check_calls(void) {
    check(QOR_OpenPort(REFUSED_PORT, "socket://127.0.0.1:1?timeout_ms=50") == 0,
          "refused port opens", "");
    int status = -5;
    int error = -5;
    float value = QOR_RD(REFUSED_PORT, '1', &status, &error);
    check(value == 0.0f && status == 200 && error == 1, "QOR_RD through the import library", "");

    HMODULE module = GetModuleHandleA("qor_dll.dll");
    for (size_t i = 0; module != NULL && i < sizeof kExports / sizeof kExports[0]; ++i) {
        FARPROC function = GetProcAddress(module, kExports[i].name);
        if (function == NULL) {
            continue; /* reported by check_exports */
        }
        int sp_kept = 0;
        status = error = -5;
        int result = call_export(function, kExports[i].shape, &status, &error, &sp_kept);
        check(sp_kept, "stack pointer kept across", kExports[i].name);
        int expected_status = kExports[i].shape == SWITCH ? 0 : 200;
        int expected_error = kExports[i].shape == SWITCH ? 0 : 1;
        check(result == kExports[i].result && status == expected_status && error == expected_error,
              "result, status and error by GetProcAddress of", kExports[i].name);
    }
    /* Address 0 is refused before anything is sent. */
    BitFn sb = (BitFn)(void *)GetProcAddress(module, "QOR_SB");
    if (sb != NULL) {
        status = error = -5;
        check(sb(REFUSED_PORT, 0, 5, &status, &error) == 200 && status == 200 && error == 3,
              "QOR_SB refuses address 0", "");
    }
#if defined(__i386__)
    check(!mismatched_call_keeps_sp(), "a C function called as __stdcall moves the stack pointer",
          "");
#endif
    QOR_ClosePort(REFUSED_PORT);
}

int main(void) {
    const struct Export dll_exports[] = {
        QOR_DLL_EXPORTS(EXPORT) /* every function of qor_dll.h */
    };
    const struct Export comm_exports[] = {
        EXPORT(QOR_WriteByte),
        EXPORT(QOR_ReadByte),
        EXPORT(QOR_OpenPort),
        EXPORT(QOR_ClosePort),
    };
    check_exports("qor_dll.dll", dll_exports, sizeof dll_exports / sizeof dll_exports[0]);
    check_exports("qor_comm.dll", comm_exports, sizeof comm_exports / sizeof comm_exports[0]);
    check_version("qor_dll.dll", "QOR Dynamic-Link Library Protocol Handler, 1.01");
    check_version("qor_comm.dll", "QOR byte link: serial ports and raw TCP");
    check_calls();
    printf("%d passed, %d failed\n", checks - failures, failures);
    return failures == 0 ? 0 : 1;
}
