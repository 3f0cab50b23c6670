/* The load configuration of every Calmlane program. Its DependentLoadFlags make Windows resolve the
   program's static imports from System32 only, never from the folder the program was started in (a
   Downloads folder, a per-user staging folder). MSVC's runtime brings its own _load_config_used and
   takes the flags from /DEPENDENTLOADFLAG instead (see CMakeLists.txt). */
#include <windows.h>

#include <stddef.h>

/* IMAGE_LOAD_CONFIG_DIRECTORY64 from the Windows SDK's winnt.h, through SEHandlerCount (the Size field
   tells the loader which fields follow). MinGW's declaration calls DependentLoadFlags "Reserved1". */
typedef struct {
    DWORD Size;
    DWORD TimeDateStamp;
    WORD MajorVersion;
    WORD MinorVersion;
    DWORD GlobalFlagsClear;
    DWORD GlobalFlagsSet;
    DWORD CriticalSectionDefaultTimeout;
    ULONGLONG DeCommitFreeBlockThreshold;
    ULONGLONG DeCommitTotalFreeThreshold;
    ULONGLONG LockPrefixTable;
    ULONGLONG MaximumAllocationSize;
    ULONGLONG VirtualMemoryThreshold;
    ULONGLONG ProcessAffinityMask;
    DWORD ProcessHeapFlags;
    WORD CSDVersion;
    WORD DependentLoadFlags;
    ULONGLONG EditList;
    ULONGLONG SecurityCookie;
    ULONGLONG SEHandlerTable;
    ULONGLONG SEHandlerCount;
} CalmlaneLoadConfig;
_Static_assert(sizeof(CalmlaneLoadConfig) == 0x70, "IMAGE_LOAD_CONFIG_DIRECTORY64 through SEHandlerCount");
_Static_assert(offsetof(CalmlaneLoadConfig, DependentLoadFlags) == 0x4E, "DependentLoadFlags as in winnt.h");

/* A linker that knows the symbol points the image's load-configuration directory at it; GNU ld 2.40 does
   not, so the build finds the structure by its section instead (set_load_config.py). */
__attribute__((section(".lcfg"))) const CalmlaneLoadConfig _load_config_used = {
    .Size = sizeof(CalmlaneLoadConfig),
    .DependentLoadFlags = LOAD_LIBRARY_SEARCH_SYSTEM32,
};
