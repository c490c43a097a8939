#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winternl.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <vector>

#include "HostFigures.h"

namespace {

long Threads() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    long n = 0;
    DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == self) ++n;
    CloseHandle(snapshot);
    return n;
}

// The slots TlsAlloc still hands out: each slot a library takes and never
// frees is one fewer.
long FreeTlsSlots() {
    std::vector<DWORD> slots;
    for (DWORD slot; (slot = TlsAlloc()) != TLS_OUT_OF_INDEXES;) slots.push_back(slot);
    for (DWORD slot : slots) TlsFree(slot);
    return static_cast<long>(slots.size());
}

// The process's entries in the system's handle table. Wine answers
// GetProcessHandleCount with 0 whatever is open; this table it keeps.
long HandlesInTheSystemTable() {
    struct Entry {
        USHORT process;
        USHORT creatorBackTrace;
        UCHAR type;
        UCHAR attributes;
        USHORT handle;
        PVOID object;
        ULONG access;
    };
    struct Table {
        ULONG count;
        Entry entries[1];
    };
    using Query = NTSTATUS(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return -1;
    const ULONG SystemHandleInformation = 16;
    const auto InfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);
    std::vector<char> buffer(1 << 20);
    for (;;) {
        ULONG length = 0;
        NTSTATUS status = query(SystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &length);
        if (status == InfoLengthMismatch && buffer.size() < (1u << 28)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (status != 0) return -1;
        break;
    }
    const auto* table = reinterpret_cast<const Table*>(buffer.data());
    const auto self = static_cast<USHORT>(GetCurrentProcessId());
    long n = 0;
    for (ULONG i = 0; i < table->count; ++i)
        if (table->entries[i].process == self) ++n;
    return n;
}

}  // namespace

HostFigures MeasureHost() {
    HostFigures f;
    f.threads = Threads();
    f.freeTlsSlots = FreeTlsSlots();
    DWORD handles = 0;
    f.handles = GetProcessHandleCount(GetCurrentProcess(), &handles) && handles > 0 ? static_cast<long>(handles)
                                                                                   : HandlesInTheSystemTable();
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    if (K32GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)) {
        f.residentKiB = static_cast<long>(memory.WorkingSetSize / 1024);
        f.privateKiB = static_cast<long>(memory.PagefileUsage / 1024);
    }
    return f;
}
