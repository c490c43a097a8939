#include <dirent.h>
#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "HostFigures.h"

namespace {

// Entries of a /proc folder, "." and ".." aside.
long CountEntries(const char* folder) {
    DIR* dir = opendir(folder);
    if (!dir) return -1;
    long n = 0;
    while (dirent* e = readdir(dir))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
    closedir(dir);
    return n;
}

// A "Name: N kB" line of /proc/self/status.
long StatusKiB(const char* name) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kib = -1;
    size_t length = std::strlen(name);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, name, length) == 0 && line[length] == ':' &&
            std::sscanf(line + length + 1, "%ld", &kib) == 1)
            break;
    std::fclose(f);
    return kib;
}

// The thread-specific data keys still free: each key a library takes and
// never deletes is one fewer.
long FreeKeys() {
    std::vector<pthread_key_t> keys;
    pthread_key_t key;
    while (pthread_key_create(&key, nullptr) == 0) keys.push_back(key);
    for (pthread_key_t k : keys) pthread_key_delete(k);
    return static_cast<long>(keys.size());
}

}  // namespace

HostFigures MeasureHost() {
    HostFigures f;
    f.threads = CountEntries("/proc/self/task");
    f.freeTlsSlots = FreeKeys();
    // The folder's own descriptor, open while it is read, is not counted.
    f.handles = CountEntries("/proc/self/fd") - 1;
    f.residentKiB = StatusKiB("VmRSS");
    f.privateKiB = StatusKiB("RssAnon");
    return f;
}
