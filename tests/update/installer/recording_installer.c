/* Stand-in for a downloaded installer: appends its command line to the file named by
   CALMLANE_INSTALLER_RECORD, one line per start, and exits. */
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR arguments, int show) {
    (void)instance;
    (void)previous;
    (void)arguments;
    (void)show;
    wchar_t record[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"CALMLANE_INSTALLER_RECORD", record, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 2;
    HANDLE file = CreateFileW(record, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 3;
    const wchar_t* line = GetCommandLineW();
    DWORD written = 0;
    const DWORD bytes = (DWORD)(lstrlenW(line) * sizeof(wchar_t));
    const BOOL ok = WriteFile(file, line, bytes, &written, NULL) && written == bytes &&
                    WriteFile(file, L"\n", sizeof(wchar_t), &written, NULL);
    CloseHandle(file);
    return ok ? 0 : 4;
}
