/* A stand-in for the crash-dump library: each call is a line of FakeDumperJournal(). */
#include <stdio.h>

static char journal[8192];
static size_t used;

static void Record(const char* line) {
    const int n = snprintf(journal + used, sizeof journal - used, "%s\n", line);
    if (n > 0 && used + (size_t)n < sizeof journal) used += (size_t)n;
}

const char* FakeDumperJournal(void) {
    return journal;
}

void InitDumperTessaray(const char* appKey, const char* appVersion, const char* extra) {
    char line[512];
    snprintf(line, sizeof line, "InitDumperTessaray|%s|%s|%s", appKey, appVersion, extra);
    Record(line);
}

void UnInitDumper(void) {
    Record("UnInitDumper");
}

void SetOnMiniDumpCreateCallBack(void* callback) {
    Record(callback ? "SetOnMiniDumpCreateCallBack" : "SetOnMiniDumpCreateCallBack|null");
}

#ifndef VELKA_FAKE_DUMPER_WITHOUT_SETCONFIG
void SetConfig(int key, const char* value) {
    char line[512];
    snprintf(line, sizeof line, "SetConfig|%d|%s", key, value);
    Record(line);
}
#endif
