/* A host program written the way a Windows application uses the DLLs. It
 * refers to every export through the import libraries, so it links only when
 * the import libraries map the header's declarations (on 32-bit x86 the
 * __stdcall-decorated names) onto the DLLs' exports, and its import table
 * then names them (windows.host_imports checks the names are the plain
 * ones). Run, it finds every export again with GetProcAddress under its
 * plain name, as hosts that load the DLL at run time do, reads the version
 * resources, and makes calls both ways against a port that cannot be
 * opened. Prints one line per failed check. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "qor_comm.h"
#include "qor_dll.h"

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
    check(VerQueryValueA(data, "\\", (void **)&fixed, &length) && fixed != NULL &&
              fixed->dwFileVersionMS == 0x00010000 && fixed->dwFileVersionLS == 0x00000001 &&
              fixed->dwProductVersionMS == 0x00010000 && fixed->dwProductVersionLS == 0x00000001,
          "FILEVERSION and PRODUCTVERSION 1,0,0,1 in", dll);
    const struct {
        const char *key;
        const char *value;
    } strings[] = {
        {"\\StringFileInfo\\040904B0\\FileDescription", description},
        {"\\StringFileInfo\\040904B0\\FileVersion", "1.0.0.1"},
        {"\\StringFileInfo\\040904B0\\ProductVersion", "1.0.0.1"},
    };
    for (size_t i = 0; i < sizeof strings / sizeof strings[0]; ++i) {
        char *text = NULL;
        int found = VerQueryValueA(data, strings[i].key, (void **)&text, &length);
        check(found && text != NULL && strcmp(text, strings[i].value) == 0, dll, strings[i].key);
    }
}

typedef float(QOR_CALL *ValueQuery)(int, int, int *, int *);
typedef int(QOR_CALL *BitCommand)(int, int, int, int *, int *);

/* Port 7 points at a TCP port nobody listens on: every call must report a
 * link fault (200/1) with a zero result, whichever way it was reached, and
 * write both out-parameters. */
static void check_calls(void) {
    check(QOR_OpenPort(7, "socket://127.0.0.1:1?timeout_ms=50") == 0, "refused port opens", "");
    int status = -5;
    int error = -5;
    float value = QOR_RD(7, '1', &status, &error);
    check(value == 0.0f && status == 200 && error == 1, "QOR_RD through the import library", "");

    HMODULE module = GetModuleHandleA("qor_dll.dll");
    ValueQuery rd = (ValueQuery)(void *)GetProcAddress(module, "QOR_RD");
    BitCommand sb = (BitCommand)(void *)GetProcAddress(module, "QOR_SB");
    if (rd == NULL || sb == NULL) {
        return;
    }
    status = error = -5;
    value = rd(7, '1', &status, &error);
    check(value == 0.0f && status == 200 && error == 1, "QOR_RD by GetProcAddress", "");
    status = error = -5;
    int result = sb(7, '1', 5, &status, &error);
    check(result == 200 && status == 200 && error == 1, "QOR_SB by GetProcAddress", "");
    /* Address 0 is refused before anything is sent. */
    status = error = -5;
    check(sb(7, 0, 5, &status, &error) == 200 && status == 200 && error == 3,
          "QOR_SB refuses address 0", "");
    QOR_ClosePort(7);
}

int main(void) {
    const struct Export dll_exports[] = {
        EXPORT(QOR_EnableDebug), EXPORT(QOR_EnableCmdChecksum),
        EXPORT(QOR_RD),          EXPORT(QOR_ND),
        EXPORT(QOR_RZ),          EXPORT(QOR_RH),
        EXPORT(QOR_RL),          EXPORT(QOR_RE),
        EXPORT(QOR_EC),          EXPORT(QOR_CA),
        EXPORT(QOR_CE),          EXPORT(QOR_CZ),
        EXPORT(QOR_DA),          EXPORT(QOR_EA),
        EXPORT(QOR_RR),          EXPORT(QOR_HI),
        EXPORT(QOR_LO),          EXPORT(QOR_SP),
        EXPORT(QOR_TS),          EXPORT(QOR_TZ),
        EXPORT(QOR_AO),          EXPORT(QOR_DO),
        EXPORT(QOR_DI),          EXPORT(QOR_RB),
        EXPORT(QOR_SB),          EXPORT(QOR_CB),
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
